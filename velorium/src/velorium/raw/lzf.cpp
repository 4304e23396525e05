#include "velorium/raw/lzf.hpp"

#include <cstddef>
#include <cstring>

#include "velorium/text.hpp"

namespace velorium::raw::lzf {
namespace {

// Failures are built out of line so that the decoding loop stays small.
[[gnu::cold, gnu::noinline]] std::unexpected<Error> fail(const char* message) { return parse_error(message); }

[[gnu::cold, gnu::noinline]] std::unexpected<Error> fail_cap(std::uint64_t expected_length) {
  return parse_error(text::cat("LZF: expected decompressed length ", expected_length, " exceeds cap of ",
                               kMaxDecompressedLength));
}

[[gnu::cold, gnu::noinline]] std::unexpected<Error> fail_length(std::size_t produced, std::uint64_t expected) {
  return parse_error(text::cat("LZF: decompressed length ", produced, " != expected ", expected));
}

template <std::size_t N>
inline void copy_fixed(std::uint8_t* dst, const std::uint8_t* src) noexcept {
  std::memcpy(dst, src, N);
}

// A literal run is at most 32 bytes and a match at most 264. When enough
// output remains beyond the end of an instruction's own bytes, that
// instruction may write whole 8- or 16-byte chunks past its end: the bytes
// beyond it are rewritten by the instructions that follow (output is
// produced strictly in order, and back references read only bytes before
// the current position), and if the stream fails the buffer is discarded.
constexpr std::size_t kWildSlack = 16;
constexpr std::size_t kMaxLiteral = 32;
constexpr std::size_t kMaxMatch = 264;
constexpr std::size_t kMaxInstruction = 1 + kMaxLiteral;  // longest instruction in the input

// The smallest multiple of a distance d that is at least 8 (kStride8, for d
// below 8) or 16 (kStride16, for d below 16). Once the first 8 (or 16) bytes of a match
// repeat the last d bytes of the output, the rest of it can be copied in
// chunks of that size from that far back: each chunk's source then ends at
// or before its destination, and starts no earlier than d bytes before the
// match (each stride is below the chunk size plus d).
constexpr std::uint8_t kStride8[8] = {0, 8, 8, 9, 8, 10, 12, 14};
constexpr std::uint8_t kStride16[16] = {0, 16, 16, 18, 16, 20, 18, 21, 16, 18, 20, 22, 24, 26, 28, 30};

// Copies `length` (3 to 264) bytes from `distance` (at least 1) bytes back,
// with the result of a byte-by-byte forward copy; may write up to
// kWildSlack - 1 bytes past the end.
inline void wild_match(std::uint8_t* op, std::size_t distance, std::size_t length) noexcept {
  const std::uint8_t* ref = op - distance;
  if (distance >= 8) [[likely]] {
    // Neither 8-byte copy overlaps its own destination; the second may read
    // what the first wrote.
    copy_fixed<8>(op, ref);
    if (length <= 8) [[likely]] return;
    copy_fixed<8>(op + 8, ref + 8);
    if (length > 16) [[unlikely]] {
      const std::size_t stride = distance >= 16 ? distance : kStride16[distance];
      for (std::size_t i = 16; i < length; i += 16) copy_fixed<16>(op + i, op + i - stride);
    }
    return;
  }
  // The first 8 bytes.
  if (distance >= 4) {
    // The second half reads what the first half wrote.
    copy_fixed<4>(op, ref);
    copy_fixed<4>(op + 4, ref + 4);
  } else if (distance == 1) {
    std::memset(op, ref[0], 8);
  } else {
    for (std::size_t j = 0; j < 8; ++j) op[j] = ref[j];
  }
  if (length <= 8) return;
  copy_fixed<8>(op + 8, op + 8 - kStride8[distance]);
  if (length <= 16) return;
  const std::size_t stride = kStride16[distance];
  for (std::size_t i = 16; i < length; i += 16) copy_fixed<16>(op + i, op + i - stride);
}

// Copies exactly `length` bytes from `distance` bytes back.
inline void exact_match(std::uint8_t* op, std::size_t distance, std::size_t length) noexcept {
  const std::uint8_t* ref = op - distance;
  if (distance >= length) {
    std::memcpy(op, ref, length);
  } else {
    for (std::size_t j = 0; j < length; ++j) op[j] = ref[j];
  }
}

}  // namespace

Result<ByteBuffer> decompress(ByteSpan input, std::uint64_t expected_length) {
  if (expected_length > kMaxDecompressedLength) return fail_cap(expected_length);

  // Every byte is written before the buffer is returned, and on failure the
  // buffer is dropped, so it needs no zero fill.
  auto out = ByteBuffer::for_overwrite(static_cast<std::size_t>(expected_length));
  VELORIUM_CHECK(decompress_into(input, out.span()));
  return out;
}

Result<void> decompress_into(ByteSpan input, std::span<std::uint8_t> out) {
  const std::uint64_t expected_length = out.size();
  if (expected_length > kMaxDecompressedLength) return fail_cap(expected_length);

  std::uint8_t* const out_begin = out.data();
  std::uint8_t* const out_end = out_begin + out.size();
  std::uint8_t* op = out_begin;

  const std::uint8_t* ip = input.data();
  const std::uint8_t* const ip_end = ip + input.size();

  // While every instruction's bytes are surely present in the input and its
  // output, with slack for chunked copies, the bounds checks cannot fail,
  // no instruction can end the input or fill the output, and the only check
  // left is the reference's distance (both of its checks give the same
  // message, and the first implies the second).
  if (input.size() > kMaxInstruction && out.size() > kMaxMatch + kWildSlack) {
    const std::uint8_t* const ip_safe = ip_end - kMaxInstruction;
    std::uint8_t* const op_safe = out_end - (kMaxMatch + kWildSlack);
    while (ip < ip_safe && op < op_safe) {
      const std::size_t ctrl = *ip++;
      if (ctrl < 32) {
        copy_fixed<16>(op, ip);
        if (ctrl >= 16) copy_fixed<16>(op + 16, ip + 16);
        op += ctrl + 1;
        ip += ctrl + 1;
        continue;
      }
      std::size_t length = ctrl >> 5;
      if (length == 7) length += *ip++;
      const std::size_t distance = ((ctrl & 31) << 8) + *ip++ + 1;
      if (distance > static_cast<std::size_t>(op - out_begin)) return fail("LZF: invalid back reference");
      length += 2;
      wild_match(op, distance, length);
      op += length;
    }
  }

  // The remainder, with every check in its order.
  if (ip != ip_end) {
    for (;;) {
      if (op == out_end) return {};  // input that remains is ignored
      const std::size_t ctrl = *ip++;
      const std::size_t in_left = static_cast<std::size_t>(ip_end - ip);
      const std::size_t out_left = static_cast<std::size_t>(out_end - op);

      if (ctrl < 32) {
        const std::size_t length = ctrl + 1;
        if (length > in_left || length > out_left) return fail("LZF: literal run out of bounds");
        if (in_left >= kMaxLiteral && out_left >= kMaxLiteral) {
          copy_fixed<16>(op, ip);
          copy_fixed<16>(op + 16, ip + 16);
        } else {
          std::memcpy(op, ip, length);
        }
        op += length;
        ip += length;
      } else {
        const std::size_t high = (ctrl & 31) << 8;
        const std::size_t position = static_cast<std::size_t>(op - out_begin);
        if (high >= position) return fail("LZF: invalid back reference");
        std::size_t length = ctrl >> 5;
        if (length == 7) {
          if (ip == ip_end) return fail("LZF: truncated length byte");
          length += *ip++;
        }
        if (ip == ip_end) return fail("LZF: truncated reference byte");
        const std::size_t distance = high + *ip++ + 1;
        if (distance > position) return fail("LZF: invalid back reference");
        length += 2;
        if (length > out_left) return fail("LZF: match run exceeds output bounds");
        if (out_left - length >= kWildSlack) {
          wild_match(op, distance, length);
        } else {
          exact_match(op, distance, length);
        }
        op += length;
      }
      if (ip == ip_end) break;
    }
  }

  if (op != out_end) return fail_length(static_cast<std::size_t>(op - out_begin), expected_length);
  return {};
}

}  // namespace velorium::raw::lzf

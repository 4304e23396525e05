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

// A literal run is at most 32 bytes and a match at most 264. When this many
// output bytes remain beyond the end of an instruction's own bytes, that
// instruction may write whole 8- or 16-byte chunks past its end: the bytes
// beyond it are rewritten by the instructions that follow (output is
// produced strictly in order, and back references read only bytes before
// the current position), and if the stream fails the buffer is discarded.
constexpr std::size_t kWildSlack = 16;
constexpr std::size_t kMaxLiteral = 32;

// Smallest multiple of the distance that is at least 8, for distances 1 to 7:
// once the first 8 bytes of a periodic match are in place, the rest can be
// copied in 8-byte chunks from that far back without overlapping a chunk's
// own destination.
constexpr std::size_t kPatternStride[8] = {0, 8, 8, 9, 8, 10, 12, 14};

// Copies `length` bytes from `distance` bytes back, with the result of a
// byte-by-byte forward copy; may write up to kWildSlack - 1 bytes past the
// end. `distance` >= 1.
inline void wild_match(std::uint8_t* op, std::size_t distance, std::size_t length) noexcept {
  const std::uint8_t* ref = op - distance;
  if (distance >= 16) {
    // Each chunk's source ends at or before the chunk's destination.
    std::size_t i = 0;
    do {
      copy_fixed<16>(op + i, ref + i);
      i += 16;
    } while (i < length);
  } else if (distance >= 8) {
    std::size_t i = 0;
    do {
      copy_fixed<8>(op + i, ref + i);
      i += 8;
    } while (i < length);
  } else if (distance == 1) {
    std::uint8_t fill[16];
    std::memset(fill, ref[0], sizeof fill);
    std::size_t i = 0;
    do {
      copy_fixed<16>(op + i, fill);
      i += 16;
    } while (i < length);
  } else {
    // The first 8 bytes repeat the last `distance` bytes, in order.
    for (std::size_t j = 0; j < 8; ++j) op[j] = ref[j];
    const std::size_t stride = kPatternStride[distance];
    for (std::size_t i = 8; i < length; i += 8) copy_fixed<8>(op + i, op + i - stride);
  }
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
  std::uint8_t* const out_begin = out.data();
  std::uint8_t* const out_end = out_begin + out.size();
  std::uint8_t* op = out_begin;

  const std::uint8_t* ip = input.data();
  const std::uint8_t* const ip_end = ip + input.size();

  if (ip != ip_end) {
    for (;;) {
      if (op == out_end) return out;  // input that remains is ignored
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
  return out;
}

}  // namespace velorium::raw::lzf

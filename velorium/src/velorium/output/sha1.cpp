#include "velorium/output/sha1.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace velorium::output {

namespace {

std::uint32_t load_be32(const std::uint8_t* p) noexcept {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void store_be32(std::uint8_t* p, std::uint32_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

using sha1_blocks::State;

// Twenty rounds of one kind; the message schedule is a rolling window of
// 16 words.
template <int Kind>
inline void rounds(std::uint32_t* w, std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d,
                   std::uint32_t& e) noexcept {
  constexpr std::uint32_t kConstants[] = {0x5A827999u, 0x6ED9EBA1u, 0x8F1BBCDCu, 0xCA62C1D6u};
  for (int i = 0; i < 20; ++i) {
    const int t = 20 * Kind + i;
    std::uint32_t word;
    if (t < 16) {
      word = w[t];
    } else {
      word = std::rotl(w[(t + 13) & 15] ^ w[(t + 8) & 15] ^ w[(t + 2) & 15] ^ w[t & 15], 1);
      w[t & 15] = word;
    }
    std::uint32_t f;
    if constexpr (Kind == 0) {
      f = (b & c) | (~b & d);
    } else if constexpr (Kind == 2) {
      f = (b & c) | (b & d) | (c & d);
    } else {
      f = b ^ c ^ d;
    }
    const std::uint32_t next = std::rotl(a, 5) + f + e + kConstants[Kind] + word;
    e = d;
    d = c;
    c = std::rotl(b, 30);
    b = a;
    a = next;
  }
}

void compress_portable(State& state, const std::uint8_t* p, std::size_t blocks) noexcept {
  for (; blocks != 0; --blocks, p += 64) {
    std::uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(p + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    rounds<0>(w, a, b, c, d, e);
    rounds<1>(w, a, b, c, d, e);
    rounds<2>(w, a, b, c, d, e);
    rounds<3>(w, a, b, c, d, e);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

#if defined(__x86_64__)
// The processor's SHA instructions (x86 SHA extensions): four rounds per
// instruction, the schedule four words at a time. A, B, C, D sit in one
// register, A in the highest lane; E rides in the highest lane of the
// message words it is added to.
__attribute__((target("sha,sse4.1"))) void compress_sha_ni(State& state, const std::uint8_t* p,
                                                            std::size_t blocks) noexcept {
  const __m128i byte_swap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state.data())), 0x1B);
  __m128i e = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  for (; blocks != 0; --blocks, p += 64) {
    const __m128i abcd_before = abcd, e_before = e;
    __m128i x[4];
    for (int i = 0; i < 4; ++i) {
      x[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), byte_swap);
    }
    __m128i e_plus_w = _mm_add_epi32(e, x[0]);
    __m128i group_start = abcd;
#pragma GCC unroll 20
    for (int g = 0; g < 20; ++g) {
      if (g != 0) e_plus_w = _mm_sha1nexte_epu32(group_start, x[g & 3]);
      group_start = abcd;
      switch (g / 5) {
        case 0:
          abcd = _mm_sha1rnds4_epu32(abcd, e_plus_w, 0);
          break;
        case 1:
          abcd = _mm_sha1rnds4_epu32(abcd, e_plus_w, 1);
          break;
        case 2:
          abcd = _mm_sha1rnds4_epu32(abcd, e_plus_w, 2);
          break;
        default:
          abcd = _mm_sha1rnds4_epu32(abcd, e_plus_w, 3);
          break;
      }
      // The words of group g + 4 replace those of group g, now used.
      if (g < 16) {
        x[g & 3] = _mm_sha1msg2_epu32(
            _mm_xor_si128(_mm_sha1msg1_epu32(x[g & 3], x[(g + 1) & 3]), x[(g + 2) & 3]), x[(g + 3) & 3]);
      }
    }
    e = _mm_sha1nexte_epu32(group_start, e_before);
    abcd = _mm_add_epi32(abcd, abcd_before);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state.data()), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e, 3));
}

bool has_sha_ni() noexcept {
  unsigned a, b, c, d;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_SSE4_1) == 0 || (c & bit_SSSE3) == 0) return false;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return (b & bit_SHA) != 0;
}
#endif

}  // namespace

namespace sha1_blocks {

void portable(State& state, const std::uint8_t* blocks, std::size_t count) noexcept {
  compress_portable(state, blocks, count);
}

bool accelerated() noexcept {
#if defined(__x86_64__)
  static const bool has = has_sha_ni();
  return has;
#else
  return false;
#endif
}

void fastest(State& state, const std::uint8_t* blocks, std::size_t count) noexcept {
#if defined(__x86_64__)
  if (accelerated()) return compress_sha_ni(state, blocks, count);
#endif
  compress_portable(state, blocks, count);
}

}  // namespace sha1_blocks

void Sha1::reset() noexcept {
  state_ = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  length_ = 0;
  used_ = 0;
}

void Sha1::compress(const std::uint8_t* blocks, std::size_t count) noexcept {
  sha1_blocks::fastest(state_, blocks, count);
}

void Sha1::update(std::span<const std::uint8_t> bytes) noexcept {
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  if (n == 0) return;
  length_ += n;
  if (used_ != 0) {
    const std::size_t take = std::min(n, block_.size() - used_);
    std::memcpy(block_.data() + used_, p, take);
    used_ += take;
    p += take;
    n -= take;
    if (used_ < block_.size()) return;
    compress(block_.data(), 1);
    used_ = 0;
  }
  compress(p, n / 64);
  p += n / 64 * 64;
  n %= 64;
  if (n != 0) std::memcpy(block_.data(), p, n);
  used_ = n;
}

void Sha1::update(std::string_view bytes) noexcept {
  update(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// Padding: a 1 bit, zeros up to 56 bytes into a block, then the length in
// bits as a 64-bit big-endian number.
std::array<std::uint8_t, 20> Sha1::digest() noexcept {
  const std::uint64_t bits = length_ * 8;
  block_[used_++] = 0x80;
  if (used_ > 56) {
    std::memset(block_.data() + used_, 0, block_.size() - used_);
    compress(block_.data(), 1);
    used_ = 0;
  }
  std::memset(block_.data() + used_, 0, 56 - used_);
  store_be32(block_.data() + 56, static_cast<std::uint32_t>(bits >> 32));
  store_be32(block_.data() + 60, static_cast<std::uint32_t>(bits));
  compress(block_.data(), 1);
  std::array<std::uint8_t, 20> out;
  for (std::size_t i = 0; i < state_.size(); ++i) store_be32(out.data() + 4 * i, state_[i]);
  reset();
  return out;
}

std::string Sha1::hex_digest() {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto bytes = digest();
  std::string out(2 * bytes.size(), '0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 15];
  }
  return out;
}

Result<std::string> sha1_of_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return io_error(std::error_code(errno, std::generic_category()));
  constexpr std::size_t kChunk = 1 << 20;
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kChunk);
  Sha1 sha1;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.get(), kChunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      return io_error(std::error_code(error, std::generic_category()));
    }
    if (got == 0) break;
    sha1.update(std::span<const std::uint8_t>(buffer.get(), static_cast<std::size_t>(got)));
  }
  ::close(fd);
  return sha1.hex_digest();
}

}  // namespace velorium::output

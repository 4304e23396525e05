#include "velorium/output/sha1.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

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

}  // namespace

void Sha1::reset() noexcept {
  state_ = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  length_ = 0;
  used_ = 0;
}

// One 64-byte block, with the message schedule kept as a rolling window of
// 16 words.
void Sha1::compress(const std::uint8_t* block) noexcept {
  std::uint32_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
  for (int t = 0; t < 80; ++t) {
    std::uint32_t word;
    if (t < 16) {
      word = w[t];
    } else {
      word = std::rotl(w[(t + 13) & 15] ^ w[(t + 8) & 15] ^ w[(t + 2) & 15] ^ w[t & 15], 1);
      w[t & 15] = word;
    }
    std::uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    const std::uint32_t next = std::rotl(a, 5) + f + e + k + word;
    e = d;
    d = c;
    c = std::rotl(b, 30);
    b = a;
    a = next;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
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
    compress(block_.data());
    used_ = 0;
  }
  for (; n >= 64; p += 64, n -= 64) compress(p);
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
    compress(block_.data());
    used_ = 0;
  }
  std::memset(block_.data() + used_, 0, 56 - used_);
  store_be32(block_.data() + 56, static_cast<std::uint32_t>(bits >> 32));
  store_be32(block_.data() + 60, static_cast<std::uint32_t>(bits));
  compress(block_.data());
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

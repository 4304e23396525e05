#include "velorium/mzml/encode.hpp"

#include <bit>
#include <new>
#include <vector>

#include <libdeflate.h>

static_assert(std::endian::native == std::endian::little, "mzML arrays are written as the host's bytes");

namespace velorium::mzml {

void append_base64(std::string& out, std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t start = out.size();
  out.resize(start + (bytes.size() + 2) / 3 * 4);
  char* o = out.data() + start;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  for (; n >= 3; n -= 3, p += 3, o += 4) {
    const std::uint32_t v = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    o[0] = kAlphabet[v >> 18];
    o[1] = kAlphabet[(v >> 12) & 63];
    o[2] = kAlphabet[(v >> 6) & 63];
    o[3] = kAlphabet[v & 63];
  }
  if (n == 1) {
    const std::uint32_t v = std::uint32_t{p[0]} << 16;
    o[0] = kAlphabet[v >> 18];
    o[1] = kAlphabet[(v >> 12) & 63];
    o[2] = '=';
    o[3] = '=';
  } else if (n == 2) {
    const std::uint32_t v = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8);
    o[0] = kAlphabet[v >> 18];
    o[1] = kAlphabet[(v >> 12) & 63];
    o[2] = kAlphabet[(v >> 6) & 63];
    o[3] = '=';
  }
}

// Level 6, the zlib library's default: the same trade of size for speed
// that other writers of the format make, at libdeflate's speed.
struct ZlibCompressor::State {
  libdeflate_compressor* compressor = nullptr;
};

ZlibCompressor::ZlibCompressor() : state_(std::make_unique<State>()) {
  state_->compressor = libdeflate_alloc_compressor(6);
  if (state_->compressor == nullptr) throw std::bad_alloc();
}

ZlibCompressor::~ZlibCompressor() { libdeflate_free_compressor(state_->compressor); }

void ZlibCompressor::compress(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out) {
  out.resize(libdeflate_zlib_compress_bound(state_->compressor, bytes.size()));
  const std::size_t size =
      libdeflate_zlib_compress(state_->compressor, bytes.data(), bytes.size(), out.data(), out.size());
  // The bound is always enough; 0 would mean it was not.
  if (size == 0) throw std::bad_alloc();
  out.resize(size);
}

void encode_array(std::span<const std::uint8_t> bytes, ZlibCompressor* compressor, std::vector<std::uint8_t>& scratch,
                  std::string& out) {
  out.clear();
  if (compressor == nullptr) {
    out.reserve((bytes.size() + 2) / 3 * 4);
    append_base64(out, bytes);
    return;
  }
  compressor->compress(bytes, scratch);
  out.reserve((scratch.size() + 2) / 3 * 4);
  append_base64(out, scratch);
}

}  // namespace velorium::mzml

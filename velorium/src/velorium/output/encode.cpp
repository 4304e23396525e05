#include "velorium/output/encode.hpp"

#include <bit>
#include <new>

#include <libdeflate.h>

#include "velorium/output/numpress.hpp"

static_assert(std::endian::native == std::endian::little, "mzML arrays are written as the host's bytes");

namespace velorium::output {
namespace {

constexpr Term kFloat64{"MS:1000523", "64-bit float"};
constexpr Term kFloat32{"MS:1000521", "32-bit float"};
constexpr Term kZlib{"MS:1000574", "zlib compression"};
constexpr Term kNoCompression{"MS:1000576", "no compression"};
constexpr Term kLinear{"MS:1002312", "MS-Numpress linear prediction compression"};
constexpr Term kLinearZlib{"MS:1002746", "MS-Numpress linear prediction compression followed by zlib compression"};
constexpr Term kPic{"MS:1002313", "MS-Numpress positive integer compression"};
constexpr Term kPicZlib{"MS:1002747", "MS-Numpress positive integer compression followed by zlib compression"};
constexpr Term kSlof{"MS:1002314", "MS-Numpress short logged float compression"};
constexpr Term kSlofZlib{"MS:1002748", "MS-Numpress short logged float compression followed by zlib compression"};

template <class T>
std::span<const std::uint8_t> bytes_of(std::span<const T> values) {
  return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
}

}  // namespace

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

ArrayEncoder::ArrayEncoder() = default;
ArrayEncoder::~ArrayEncoder() = default;

void ArrayEncoder::finish(std::span<const std::uint8_t> bytes, bool zlib, Term data_type, EncodedArray& out) {
  out.base64.clear();
  out.data_type = data_type;
  out.compression = zlib ? kZlib : kNoCompression;
  if (zlib) {
    if (!compressor_) compressor_ = std::make_unique<ZlibCompressor>();
    compressor_->compress(bytes, packed_);
    bytes = packed_;
  }
  out.base64.reserve((bytes.size() + 2) / 3 * 4);
  append_base64(out.base64, bytes);
}

void ArrayEncoder::finish_numpress(bool zlib, Term alone, Term with_zlib, EncodedArray& out) {
  // The decoded values are 64-bit floats, whatever was encoded.
  finish(numpress_, zlib, kFloat64, out);
  out.compression = zlib ? with_zlib : alone;
}

void ArrayEncoder::mz(std::span<const double> values, MzEncoding encoding, bool zlib, EncodedArray& out) {
  if (encoding == MzEncoding::NumpressLinear) {
    numpress_.clear();
    if (numpress::encode_linear(values, numpress::optimal_linear_fixed_point(values), numpress_)) {
      finish_numpress(zlib, kLinear, kLinearZlib, out);
      return;
    }
  }
  if (encoding == MzEncoding::Float32) {
    narrowed_.assign(values.begin(), values.end());
    finish(bytes_of(std::span<const float>(narrowed_)), zlib, kFloat32, out);
    return;
  }
  finish(bytes_of(values), zlib, kFloat64, out);
}

void ArrayEncoder::intensity(std::span<const float> values, IntensityEncoding encoding, bool zlib,
                             EncodedArray& out) {
  numpress_.clear();
  if (encoding == IntensityEncoding::NumpressSlof &&
      numpress::encode_slof(values, numpress::optimal_slof_fixed_point(values), numpress_)) {
    finish_numpress(zlib, kSlof, kSlofZlib, out);
    return;
  }
  if (encoding == IntensityEncoding::NumpressPic && numpress::encode_pic(values, numpress_)) {
    finish_numpress(zlib, kPic, kPicZlib, out);
    return;
  }
  finish(bytes_of(values), zlib, kFloat32, out);
}

void ArrayEncoder::floats(std::span<const float> values, bool zlib, EncodedArray& out) {
  finish(bytes_of(values), zlib, kFloat32, out);
}

}  // namespace velorium::output

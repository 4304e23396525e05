// Binary arrays as mzML holds them: the values in a chosen encoding,
// optionally zlib-compressed, in base64, with the PSI-MS terms that say how
// to read them back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velorium::output {

// Appends the base64 form (RFC 4648, with padding, no line breaks).
void append_base64(std::string& out, std::span<const std::uint8_t> bytes);

// The zlib stream (RFC 1950) of `bytes`, compressed with libdeflate at level
// 6, the zlib library's default: the same size as other writers of the
// format get, in about half their time.
class ZlibCompressor {
 public:
  ZlibCompressor();
  ~ZlibCompressor();
  ZlibCompressor(const ZlibCompressor&) = delete;
  ZlibCompressor& operator=(const ZlibCompressor&) = delete;

  // Replaces `out` with the compressed stream.
  void compress(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// How the m/z values are stored. Float64: exactly; Float32: rounded to the
// nearest 32-bit float (relative error at most 2^-24, 6e-5 at m/z 1000);
// NumpressLinear: MS-Numpress linear prediction at the array's optimal fixed
// point (absolute error at most half a unit of it, about 2.3e-10 times the
// array's largest m/z).
enum class MzEncoding { Float64, Float32, NumpressLinear };

// How the intensities are stored. Float32: exactly (they are 32-bit floats);
// NumpressSlof: MS-Numpress short logged float at the array's optimal fixed
// point (relative error of intensity + 1 about 0.5 * ln(max + 1) / 65535,
// below 2e-4 for intensities up to 1e11); NumpressPic: MS-Numpress positive
// integer (absolute error at most 0.5).
//
// An array that an MS-Numpress codec cannot hold (a value that is not
// finite, a negative intensity for pic, a residual beyond 32 bits) is
// stored exactly instead (Float64 m/z, Float32 intensities), which its
// terms say: nothing is lost or altered beyond the codec's bound.
enum class IntensityEncoding { Float32, NumpressSlof, NumpressPic };

struct ArrayEncoding {
  MzEncoding mz = MzEncoding::Float64;
  IntensityEncoding intensity = IntensityEncoding::Float32;
  bool zlib = true;  // the encoded bytes zlib-compressed

  friend bool operator==(const ArrayEncoding&, const ArrayEncoding&) = default;
};

// A PSI-MS term of an array's description.
struct Term {
  std::string_view accession;
  std::string_view name;
};

// One encoded array: its base64 text and the terms of its binary data type
// and its compression.
struct EncodedArray {
  std::string base64;
  Term data_type;
  Term compression;
};

// Encodes arrays with working memory reused from call to call; one per
// thread.
class ArrayEncoder {
 public:
  ArrayEncoder();
  ~ArrayEncoder();
  ArrayEncoder(const ArrayEncoder&) = delete;
  ArrayEncoder& operator=(const ArrayEncoder&) = delete;

  void mz(std::span<const double> values, MzEncoding encoding, bool zlib, EncodedArray& out);
  void intensity(std::span<const float> values, IntensityEncoding encoding, bool zlib, EncodedArray& out);
  // 32-bit floats as they are (chromatograms).
  void floats(std::span<const float> values, bool zlib, EncodedArray& out);

 private:
  void finish(std::span<const std::uint8_t> bytes, bool zlib, Term data_type, EncodedArray& out);
  // The MS-Numpress bytes in numpress_, stored with its terms.
  void finish_numpress(bool zlib, Term alone, Term with_zlib, EncodedArray& out);

  std::unique_ptr<ZlibCompressor> compressor_;
  std::vector<std::uint8_t> packed_;
  std::vector<std::uint8_t> numpress_;
  std::vector<float> narrowed_;
};

}  // namespace velorium::output

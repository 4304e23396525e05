// MS-Numpress: the compact encodings of mass-spectrometry arrays that mzML
// names MS:1002312 (linear prediction, for m/z), MS:1002314 (short
// logarithmic fixed point, "slof", for intensities) and MS:1002313
// (positive integer compression, "pic", for intensities). The bytes are
// those of the format's published encoders, byte for byte.
//
// Layouts:
// - linear: the fixed point (8 bytes, the IEEE double in big-endian
//   order); the first two values as round(value * fixed point), 4 bytes
//   each, little-endian, unsigned; then, for every further value, the
//   difference between its scaled integer and the linear prediction
//   2*previous - the one before, as a 32-bit two's-complement integer in
//   the half-byte code below.
// - slof: the fixed point (as above), then per value
//   round(ln(value + 1) * fixed point) as a little-endian 16-bit unsigned
//   integer.
// - pic: per value round(value) in the half-byte code, nothing else.
// Rounding is half up. The half-byte code writes a 32-bit integer as one
// head nibble and then its low nibbles, least significant first: head
// 0..8 = that many leading zero nibbles are omitted (8: the value 0, no
// further nibble), head 9..15 = head - 8 leading 0xf nibbles are omitted,
// head 0 = all eight nibbles follow. Nibbles fill each byte high half
// first; an odd count ends with a zero low half.
//
// Error bounds of a decoded value against the value encoded:
// - linear: at most half a unit of the fixed point, 0.5 / fixed_point, plus
//   the rounding of double arithmetic (2^-51 of the value). At the optimal
//   fixed point a unit is about (the largest of the first two values and
//   of the magnitudes of the prediction residuals, + 1) / (2^31 - 1); for
//   ascending m/z that is at most about 2.3e-10 times the largest m/z.
// - slof: ln(value + 1) is off by at most 0.5 / fixed_point, so the
//   relative error of (value + 1) is at most about 0.5 / fixed_point; at
//   the optimal fixed point about 0.5 * ln(max + 1) / 65535 (below 2e-4
//   for any intensity up to 1e11).
// - pic: at most 0.5.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "velorium/error.hpp"

namespace velorium::output::numpress {

// The largest fixed point with which the linear encoding of `values` keeps
// every stored integer in range: floor((2^31 - 1) / M), M the largest of
// the first two values and of ceil(|residual| + 1) over the prediction
// residuals; 0 for no values. Where that quotient is infinite (one or two
// values, all zero or tiny) the largest finite double, which encodes them
// as well.
double optimal_linear_fixed_point(std::span<const double> values) noexcept;
// floor(65535 / M), M the largest ln(value + 1) and at least 1; 0 for no
// values.
double optimal_slof_fixed_point(std::span<const float> values) noexcept;

// Upper bounds of the size of an encoding of `count` values (the size of
// the worst case; saturated at SIZE_MAX).
std::size_t max_linear_bytes(std::size_t count) noexcept;
std::size_t max_slof_bytes(std::size_t count) noexcept;
std::size_t max_pic_bytes(std::size_t count) noexcept;

// Append the encoding of `values` to `out`. The fixed point must be a
// positive finite number unless there are no values (an empty array is its
// 8 fixed-point bytes alone). An Error, with nothing appended, when a value
// is not finite or falls outside what the encoding can hold for this fixed
// point:
// - linear: a value below -0.5 units (negative values), the first two
//   values at or above 2^32 units, a value at or above 2^63 units or whose
//   units overflow a double (fixed points near 1e-308), or a residual
//   outside the 32-bit range;
// - slof: ln(value + 1) * fixed_point outside [-0.5, 65535] (values at or
//   below -1 included);
// - pic: a value below -0.5 or above 2^31 - 1.5.
Result<void> encode_linear(std::span<const double> values, double fixed_point, std::vector<std::uint8_t>& out);
Result<void> encode_slof(std::span<const float> values, double fixed_point, std::vector<std::uint8_t>& out);
Result<void> encode_pic(std::span<const float> values, std::vector<std::uint8_t>& out);

// The values of an encoding. An Error for a buffer that is truncated or
// malformed: shorter than its header, an integer whose nibbles run past the
// end, a slof buffer with an odd number of value bytes, a fixed point that
// is not a positive finite number while there are values, a linear
// prediction that overflows 64 bits, or a value that decodes to infinity.
Result<std::vector<double>> decode_linear(std::span<const std::uint8_t> bytes);
Result<std::vector<double>> decode_slof(std::span<const std::uint8_t> bytes);
Result<std::vector<double>> decode_pic(std::span<const std::uint8_t> bytes);

}  // namespace velorium::output::numpress

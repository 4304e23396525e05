// The MS-Numpress decoders on arbitrary bytes, and the encoders on
// arbitrary values.
//
// Input: a selector byte, then the rest. Selector % 6:
//   0, 1, 2  decode_linear, decode_slof, decode_pic of the rest; what
//            decodes is encoded again (with the same fixed point) and must
//            decode to the same values where the encoding can hold them
//   3, 4, 5  encode_linear (f64 fixed point, then f64 values), encode_slof
//            (f64 fixed point, then f32 values), encode_pic (f32 values);
//            what encodes fits the size bound and decodes within the
//            codec's error bound; a refusal appends nothing
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "fuzz_support.hpp"
#include "velorium/output/numpress.hpp"

namespace numpress = velorium::output::numpress;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint8_t kSentinel[] = {0xA5, 0x5A, 0x00};

template <class T>
std::vector<T> values_of(std::span<const std::uint8_t> bytes) {
  std::vector<T> v(bytes.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * sizeof(T));
  return v;
}

// The fixed point as the encodings store it (big-endian), 0 when absent.
double stored_fixed_point(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 8) return 0;
  std::uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | bytes[static_cast<std::size_t>(i)];
  double fp;
  std::memcpy(&fp, &bits, sizeof fp);
  return fp;
}

// Runs an encoder on an output that already holds a few bytes, which must
// stay; returns the encoding (without them) when it succeeded.
template <class Encode>
bool encode_after_sentinel(Encode encode, Bytes& encoding) {
  Bytes out(std::begin(kSentinel), std::end(kSentinel));
  const auto done = encode(out);
  VELORIUM_FUZZ_CHECK(std::equal(std::begin(kSentinel), std::end(kSentinel), out.begin()));
  if (!done) {
    VELORIUM_FUZZ_CHECK(done.error().is_parse());
    VELORIUM_FUZZ_CHECK(out.size() == sizeof kSentinel);
    return false;
  }
  encoding.assign(out.begin() + sizeof kSentinel, out.end());
  return true;
}

void decode_then_encode(int codec, std::span<const std::uint8_t> bytes) {
  const auto decoded = codec == 0 ? numpress::decode_linear(bytes)
                       : codec == 1 ? numpress::decode_slof(bytes)
                                    : numpress::decode_pic(bytes);
  if (!decoded) {
    VELORIUM_FUZZ_CHECK(decoded.error().is_parse());
    return;
  }
  const std::vector<double>& v = *decoded;
  for (const double x : v) VELORIUM_FUZZ_CHECK(std::isfinite(x));
  const double fp = stored_fixed_point(bytes);
  Bytes again;
  bool encoded;
  bool holdable = true;  // the values are exact in what the encoder takes
  if (codec == 0) {
    // Non-negative scaled integers below 2^50 come back exactly from value * fp.
    for (const double x : v) holdable = holdable && x >= 0 && x * fp < 0x1p50;
    encoded = encode_after_sentinel([&](Bytes& out) { return numpress::encode_linear(v, fp, out); }, again);
  } else {
    std::vector<float> f(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
      holdable = holdable && v[i] <= (codec == 1 ? std::numeric_limits<float>::max() : 0x1p24);
      f[i] = holdable ? static_cast<float>(v[i]) : 0.0f;
    }
    // slof: with fixed points of the optimal range, ln(value + 1) survives
    // the float and rounds to the same code, but for the largest code, which
    // the float's rounding may push out of range.
    if (codec == 1) {
      holdable = holdable && fp <= 65535.0;
      for (std::size_t i = 8; i + 1 < bytes.size(); i += 2) holdable = holdable && (bytes[i] & bytes[i + 1]) != 0xFF;
    }
    encoded = encode_after_sentinel(
        [&](Bytes& out) { return codec == 1 ? numpress::encode_slof(f, fp, out) : numpress::encode_pic(f, out); },
        again);
  }
  if (!holdable) return;
  VELORIUM_FUZZ_CHECK(encoded);
  const auto redecoded = codec == 0 ? numpress::decode_linear(again)
                         : codec == 1 ? numpress::decode_slof(again)
                                      : numpress::decode_pic(again);
  VELORIUM_FUZZ_CHECK(redecoded && *redecoded == v);
}

void encode_then_decode(int codec, velorium::fuzz::Input in) {
  Bytes encoding;
  std::vector<double> original;
  double fp = 0;
  if (codec == 0) {
    fp = in.take<double>();
    original = values_of<double>(in.rest());
    if (!encode_after_sentinel([&](Bytes& out) { return numpress::encode_linear(original, fp, out); }, encoding)) {
      return;
    }
    VELORIUM_FUZZ_CHECK(encoding.size() <= numpress::max_linear_bytes(original.size()));
  } else {
    if (codec == 1) fp = in.take<double>();
    const auto f = values_of<float>(in.rest());
    original.assign(f.begin(), f.end());
    const bool encoded = encode_after_sentinel(
        [&](Bytes& out) { return codec == 1 ? numpress::encode_slof(f, fp, out) : numpress::encode_pic(f, out); },
        encoding);
    if (!encoded) return;
    VELORIUM_FUZZ_CHECK(encoding.size() <=
                        (codec == 1 ? numpress::max_slof_bytes(f.size()) : numpress::max_pic_bytes(f.size())));
  }
  const auto decoded = codec == 0 ? numpress::decode_linear(encoding)
                       : codec == 1 ? numpress::decode_slof(encoding)
                                    : numpress::decode_pic(encoding);
  VELORIUM_FUZZ_CHECK(decoded && decoded->size() == original.size());
  for (std::size_t i = 0; i < original.size(); ++i) {
    const double x = original[i], y = (*decoded)[i];
    if (codec == 0) {
      VELORIUM_FUZZ_CHECK(std::fabs(y - x) <= 0.5 / fp + std::fabs(x) * 0x1p-51);
    } else if (codec == 1) {
      const double slack = 1e-12 * (1 + std::fabs(std::log(x + 1)));
      VELORIUM_FUZZ_CHECK(std::fabs(std::log(y + 1) - std::log(x + 1)) <= 0.5 / fp + slack);
    } else {
      VELORIUM_FUZZ_CHECK(std::fabs(y - x) <= 0.5);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velorium::fuzz::Input in(data, size);
  const int selector = in.take<std::uint8_t>() % 6;
  if (selector < 3) {
    decode_then_encode(selector, in.rest());
  } else {
    encode_then_decode(selector - 3, in);
  }
  return 0;
}

#include "velorium/output/numpress.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace velorium::output::numpress {

namespace {

constexpr std::size_t kFixedPointBytes = 8;
constexpr std::size_t kSlack = 8;  // what NibbleWriter may store past its end
constexpr std::size_t kSaturated = std::numeric_limits<std::size_t>::max();
constexpr double kTwo32 = 4294967296.0;
constexpr double kTwo63 = 9223372036854775808.0;

std::unexpected<Error> codec_error(std::string_view codec, std::string_view what) {
  std::string message("numpress ");
  message += codec;
  message += ": ";
  message += what;
  return parse_error(std::move(message));
}

std::unexpected<Error> value_error(std::string_view codec, std::size_t index, std::string_view what) {
  std::string text = "value " + std::to_string(index) + " ";
  text += what;
  return codec_error(codec, text);
}

void put_fixed_point(std::uint8_t* out, double fixed_point) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(fixed_point);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
}

double get_fixed_point(const std::uint8_t* in) noexcept {
  std::uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | in[i];
  return std::bit_cast<double>(bits);
}

bool usable_fixed_point(double fixed_point) noexcept { return fixed_point > 0 && std::isfinite(fixed_point); }

// Writes the half-byte code into a buffer sized for the worst case plus
// kSlack bytes. Whole nibble groups are shifted into a bit accumulator;
// after each group the accumulator's pending bits are stored as 8 bytes,
// high half first, and the output advances by the whole bytes among them
// (the rest is stored again, completed, by the next group).
class NibbleWriter {
 public:
  explicit NibbleWriter(std::uint8_t* out) noexcept : out_(out) {}

  void put(std::uint32_t x) noexcept {
    unsigned head;
    unsigned omitted;  // leading nibbles left out
    if ((x >> 28) == 0) {
      omitted = static_cast<unsigned>(std::countl_zero(x)) / 4;  // 8 for 0
      head = omitted;
    } else if ((x >> 28) == 0xF) {
      omitted = std::min(static_cast<unsigned>(std::countl_one(x)) / 4, 7u);
      head = omitted + 8;
    } else {
      omitted = 0;
      head = 0;
    }
    const unsigned kept = 8 - omitted;
    // The nibbles of x in reverse order, so that the least significant one
    // is written first; the omitted ones fall off the low end.
    std::uint32_t reversed = std::byteswap(x);
    reversed = ((reversed & 0x0F0F0F0Fu) << 4) | ((reversed >> 4) & 0x0F0F0F0Fu);
    const std::uint64_t group = (std::uint64_t{head} << (4 * kept)) | (std::uint64_t{reversed} >> (4 * omitted));
    bits_ = (bits_ << (4 * (kept + 1))) | group;
    pending_ += 4 * (kept + 1);  // at most 7 + 36
    const std::uint64_t aligned = std::byteswap(bits_ << (64 - pending_));
    std::memcpy(out_, &aligned, sizeof aligned);
    out_ += pending_ / 8;
    pending_ %= 8;
  }

  // Writes the last half byte, if any, and returns the end of the output.
  std::uint8_t* finish() noexcept {
    if (pending_ != 0) *out_++ = static_cast<std::uint8_t>(bits_ << 4);
    pending_ = 0;
    return out_;
  }

 private:
  std::uint8_t* out_;
  std::uint64_t bits_ = 0;  // only the low `pending_` bits are waiting
  unsigned pending_ = 0;
};

// Reads the half-byte code from `bytes`, starting at byte `start`.
class NibbleReader {
 public:
  NibbleReader(std::span<const std::uint8_t> bytes, std::size_t start) noexcept
      : bytes_(bytes), at_(2 * start), end_(2 * bytes.size()) {}

  // Whether another integer follows. The encoder pads an odd number of
  // nibbles with a zero low half: a zero in the very last nibble ends the
  // stream (a real head 0 there could not be followed by its eight nibbles).
  bool more() const noexcept { return at_ < end_ && !(at_ + 1 == end_ && nibble(at_) == 0); }

  // The next integer; false when its nibbles run past the end.
  bool next(std::uint32_t& x) noexcept {
    const unsigned head = nibble(at_++);
    unsigned omitted;
    std::uint32_t value = 0;
    if (head <= 8) {
      omitted = head;
    } else {
      omitted = head - 8;
      value = ~std::uint32_t{0} << (32 - 4 * omitted);
    }
    const unsigned kept = 8 - omitted;
    if (end_ - at_ < kept) return false;
    for (unsigned i = 0; i < kept; ++i) value |= std::uint32_t{nibble(at_++)} << (4 * i);
    x = value;
    return true;
  }

 private:
  unsigned nibble(std::size_t at) const noexcept {
    const std::uint8_t byte = bytes_[at >> 1];
    return (at & 1) != 0 ? byte & 0xFu : byte >> 4;
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t at_;   // in nibbles
  std::size_t end_;  // in nibbles
};

std::size_t saturating_add(std::size_t a, std::size_t b) noexcept { return a > kSaturated - b ? kSaturated : a + b; }

// Appends through a buffer sized for the worst case (and the slack of
// NibbleWriter); on failure `out` is cut back to what it held.
class Appender {
 public:
  Appender(std::vector<std::uint8_t>& out, std::size_t most) : out_(out), start_(out.size()) {
    out_.resize(saturating_add(start_, saturating_add(most, kSlack)));  // SIZE_MAX throws
  }
  std::uint8_t* begin() noexcept { return out_.data() + start_; }
  void commit(const std::uint8_t* end) { out_.resize(static_cast<std::size_t>(end - out_.data())); }
  void discard() { out_.resize(start_); }

 private:
  std::vector<std::uint8_t>& out_;
  std::size_t start_;
};

// (9 * count + 1) / 2: at most nine nibbles per value.
std::size_t nibble_code_bytes(std::size_t count) noexcept {
  if (count > (kSaturated - 1) / 9) return kSaturated;
  return (9 * count + 1) / 2;
}

// The scaled integer of a linear value: round half up of value * fixed
// point, which must lie in [-0.5, limit) units. Below a fixed point of 1 a
// unit can be too large for a double (value near the largest double, fixed
// point near 1e-308): such values are refused too.
bool scale_linear(double value, double fixed_point, double limit, std::int64_t& scaled) noexcept {
  const double shifted = value * fixed_point + 0.5;
  if (!(shifted >= 0 && shifted < limit)) return false;
  scaled = static_cast<std::int64_t>(shifted);
  return fixed_point >= 1 || std::isfinite(static_cast<double>(scaled) / fixed_point);
}

}  // namespace

double optimal_linear_fixed_point(std::span<const double> values) noexcept {
  if (values.empty()) return 0;
  double largest = values[0];
  if (values.size() > 1) {
    largest = std::max(values[0], values[1]);
    for (std::size_t i = 2; i < values.size(); ++i) {
      const double predicted = values[i - 1] + (values[i - 1] - values[i - 2]);
      largest = std::max(largest, std::ceil(std::fabs(values[i] - predicted) + 1));
    }
  }
  const double fixed_point = std::floor(2147483647.0 / largest);
  if (fixed_point == std::numeric_limits<double>::infinity()) return std::numeric_limits<double>::max();
  return fixed_point;
}

// floor(65535 / max(1, ln(v + 1) over the values)), NaN logarithms left
// out. The logarithm rises with v, and distinct floats are far enough apart
// that it tells them apart, so the largest logarithm is the logarithm of
// the largest value: one logarithm per array.
double optimal_slof_fixed_point(std::span<const float> values) noexcept {
  if (values.empty()) return 0;
  float top = -std::numeric_limits<float>::infinity();
  for (const float v : values) top = v > top ? v : top;  // NaN left out
  return std::floor(65535.0 / std::max(1.0, std::log(static_cast<double>(top) + 1)));
}

std::size_t max_linear_bytes(std::size_t count) noexcept {
  if (count <= 2) return kFixedPointBytes + 4 * count;
  return saturating_add(kFixedPointBytes + 8, nibble_code_bytes(count - 2));
}

std::size_t max_slof_bytes(std::size_t count) noexcept {
  if (count > (kSaturated - kFixedPointBytes) / 2) return kSaturated;
  return kFixedPointBytes + 2 * count;
}

std::size_t max_pic_bytes(std::size_t count) noexcept { return nibble_code_bytes(count); }

Result<void> encode_linear(std::span<const double> values, double fixed_point, std::vector<std::uint8_t>& out) {
  constexpr std::string_view kCodec = "linear";
  if (!values.empty() && !usable_fixed_point(fixed_point)) {
    return codec_error(kCodec, "the fixed point is not a positive finite number");
  }
  Appender append(out, max_linear_bytes(values.size()));
  std::uint8_t* const start = append.begin();
  put_fixed_point(start, fixed_point);
  NibbleWriter nibbles(start + kFixedPointBytes + 8);
  std::int64_t before = 0, last = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double v = values[i];
    if (!std::isfinite(v)) {
      append.discard();
      return value_error(kCodec, i, "is not finite");
    }
    std::int64_t scaled;
    if (!scale_linear(v, fixed_point, i < 2 ? kTwo32 : kTwo63, scaled)) {
      append.discard();
      return value_error(kCodec, i, v < 0 ? "is negative" : "is too large for the fixed point");
    }
    if (i < 2) {
      std::uint8_t* const at = start + kFixedPointBytes + 4 * i;
      for (std::size_t k = 0; k < 4; ++k) at[k] = static_cast<std::uint8_t>(scaled >> (8 * k));
    } else {
      // Both differences are exact, as every scaled integer lies in [0, 2^63).
      const std::int64_t rise = scaled - last, step = last - before;
      std::int64_t residual;
      if (__builtin_sub_overflow(rise, step, &residual) || residual < std::numeric_limits<std::int32_t>::min() ||
          residual > std::numeric_limits<std::int32_t>::max()) {
        append.discard();
        return value_error(kCodec, i, "is too far from its linear prediction for the fixed point");
      }
      nibbles.put(static_cast<std::uint32_t>(static_cast<std::int32_t>(residual)));
    }
    before = last;
    last = scaled;
  }
  append.commit(values.size() > 2 ? nibbles.finish() : start + max_linear_bytes(values.size()));
  return {};
}

Result<void> encode_slof(std::span<const float> values, double fixed_point, std::vector<std::uint8_t>& out) {
  constexpr std::string_view kCodec = "slof";
  if (!values.empty() && !usable_fixed_point(fixed_point)) {
    return codec_error(kCodec, "the fixed point is not a positive finite number");
  }
  Appender append(out, max_slof_bytes(values.size()));
  std::uint8_t* p = append.begin();
  put_fixed_point(p, fixed_point);
  p += kFixedPointBytes;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double v = values[i];
    if (!std::isfinite(v)) {
      append.discard();
      return value_error(kCodec, i, "is not finite");
    }
    const double scaled = std::log(v + 1) * fixed_point;
    if (!(scaled >= -0.5 && scaled <= 65535)) {
      append.discard();
      return value_error(kCodec, i, scaled > 0 ? "is too large for the fixed point" : "is too far below zero");
    }
    const auto x = static_cast<std::uint16_t>(scaled + 0.5);
    *p++ = static_cast<std::uint8_t>(x);
    *p++ = static_cast<std::uint8_t>(x >> 8);
  }
  append.commit(p);
  return {};
}

Result<void> encode_pic(std::span<const float> values, std::vector<std::uint8_t>& out) {
  constexpr std::string_view kCodec = "pic";
  Appender append(out, max_pic_bytes(values.size()));
  NibbleWriter nibbles(append.begin());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double v = values[i];
    if (!std::isfinite(v)) {
      append.discard();
      return value_error(kCodec, i, "is not finite");
    }
    if (!(v >= -0.5 && v + 0.5 <= 2147483647.0)) {
      append.discard();
      return value_error(kCodec, i, v < 0 ? "is negative" : "is too large");
    }
    nibbles.put(static_cast<std::uint32_t>(v + 0.5));
  }
  append.commit(nibbles.finish());
  return {};
}

Result<std::vector<double>> decode_linear(std::span<const std::uint8_t> bytes) {
  constexpr std::string_view kCodec = "linear";
  if (bytes.size() < kFixedPointBytes) return codec_error(kCodec, "truncated in the fixed point");
  std::vector<double> values;
  if (bytes.size() == kFixedPointBytes) return values;
  const double fixed_point = get_fixed_point(bytes.data());
  if (!usable_fixed_point(fixed_point)) return codec_error(kCodec, "the fixed point is not a positive finite number");
  // The first two values, stored whole; at most two more per byte after them.
  const auto stored = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t k = 4; k-- > 0;) v = (v << 8) | bytes[at + k];
    return std::int64_t{v};
  };
  if (bytes.size() < kFixedPointBytes + 4) return codec_error(kCodec, "truncated in the first value");
  if (bytes.size() != kFixedPointBytes + 4 && bytes.size() < kFixedPointBytes + 8) {
    return codec_error(kCodec, "truncated in the second value");
  }
  const std::size_t body = kFixedPointBytes + 8;
  values.reserve(bytes.size() < body ? 1 : 2 + 2 * (bytes.size() - body));
  std::int64_t before = 0, last = 0;
  // Appends value / fixed point; false when that is not finite.
  const auto push = [&](std::int64_t value) {
    const double decoded = static_cast<double>(value) / fixed_point;
    if (!std::isfinite(decoded)) return false;
    values.push_back(decoded);
    before = last;
    last = value;
    return true;
  };
  if (!push(stored(kFixedPointBytes))) return value_error(kCodec, 0, "overflows");
  if (bytes.size() < body) return values;
  if (!push(stored(kFixedPointBytes + 4))) return value_error(kCodec, 1, "overflows");
  NibbleReader nibbles(bytes, body);
  while (nibbles.more()) {
    std::uint32_t code;
    if (!nibbles.next(code)) return value_error(kCodec, values.size(), "is truncated");
    std::int64_t step, predicted, value;
    if (__builtin_sub_overflow(last, before, &step) || __builtin_add_overflow(last, step, &predicted) ||
        __builtin_add_overflow(predicted, std::int64_t{static_cast<std::int32_t>(code)}, &value) || !push(value)) {
      return value_error(kCodec, values.size(), "overflows");
    }
  }
  return values;
}

Result<std::vector<double>> decode_slof(std::span<const std::uint8_t> bytes) {
  constexpr std::string_view kCodec = "slof";
  if (bytes.size() < kFixedPointBytes) return codec_error(kCodec, "truncated in the fixed point");
  if ((bytes.size() - kFixedPointBytes) % 2 != 0) return codec_error(kCodec, "truncated in the last value");
  const std::size_t count = (bytes.size() - kFixedPointBytes) / 2;
  std::vector<double> values;
  if (count == 0) return values;
  const double fixed_point = get_fixed_point(bytes.data());
  if (!usable_fixed_point(fixed_point)) return codec_error(kCodec, "the fixed point is not a positive finite number");
  values.resize(count);
  const std::uint8_t* p = bytes.data() + kFixedPointBytes;
  for (std::size_t i = 0; i < count; ++i, p += 2) {
    const unsigned x = p[0] | (unsigned{p[1]} << 8);
    values[i] = std::exp(x / fixed_point) - 1;
    if (!std::isfinite(values[i])) return value_error(kCodec, i, "overflows");
  }
  return values;
}

Result<std::vector<double>> decode_pic(std::span<const std::uint8_t> bytes) {
  std::vector<double> values;
  values.reserve(2 * bytes.size());
  NibbleReader nibbles(bytes, 0);
  while (nibbles.more()) {
    std::uint32_t x;
    if (!nibbles.next(x)) return value_error("pic", values.size(), "is truncated");
    values.push_back(x);
  }
  return values;
}

}  // namespace velorium::output::numpress

#include "velorium/raw/parse_number.hpp"

#include <charconv>
#include <limits>
#include <system_error>

#include "velorium/raw/ascii.hpp"

namespace velorium::text {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<std::uint64_t> parse_u64(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  for (const char c : text) {
    if (!is_digit(c)) return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::uint32_t> parse_u32(std::string_view text) noexcept {
  const auto value = parse_u64(text);
  if (!value || *value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<std::int32_t> parse_i32(std::string_view text) noexcept {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() == '+') return std::nullopt;
  const auto magnitude = parse_u64(text);
  if (!magnitude) return std::nullopt;
  if (negative) {
    if (*magnitude > 2147483648ULL) return std::nullopt;
    return static_cast<std::int32_t>(-static_cast<std::int64_t>(*magnitude));
  }
  if (*magnitude > 2147483647ULL) return std::nullopt;
  return static_cast<std::int32_t>(*magnitude);
}

std::optional<double> parse_f64(std::string_view text) noexcept {
  bool negative = false;
  std::string_view body = text;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  const double sign = negative ? -1.0 : 1.0;
  if (ascii_iequals(body, "inf") || ascii_iequals(body, "infinity")) {
    return sign * std::numeric_limits<double>::infinity();
  }
  if (ascii_iequals(body, "nan")) return std::numeric_limits<double>::quiet_NaN();

  // digits [. digits] [(e|E) [sign] digits], at least one mantissa digit.
  std::size_t pos = 0;
  std::size_t int_digits = 0, frac_digits = 0;
  while (pos < body.size() && is_digit(body[pos])) ++pos, ++int_digits;
  if (pos < body.size() && body[pos] == '.') {
    ++pos;
    while (pos < body.size() && is_digit(body[pos])) ++pos, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return std::nullopt;
  const std::size_t mantissa_end = pos;
  long long exponent = 0;
  if (pos < body.size() && (body[pos] == 'e' || body[pos] == 'E')) {
    ++pos;
    bool exp_negative = false;
    if (pos < body.size() && (body[pos] == '+' || body[pos] == '-')) exp_negative = body[pos++] == '-';
    const std::size_t exp_start = pos;
    while (pos < body.size() && is_digit(body[pos])) {
      if (exponent < 100000000) exponent = exponent * 10 + (body[pos] - '0');
      ++pos;
    }
    if (pos == exp_start) return std::nullopt;
    if (exp_negative) exponent = -exponent;
  }
  if (pos != body.size()) return std::nullopt;

  double value = 0.0;
  const auto result = std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
  if (result.ec == std::errc() && result.ptr == body.data() + body.size()) return sign * value;
  if (result.ec != std::errc::result_out_of_range) return std::nullopt;

  // Out of range: decide between overflow and underflow from the position
  // of the first non-zero mantissa digit.
  long long magnitude = 0;
  bool found = false;
  for (std::size_t i = 0, digit = 0; i < mantissa_end; ++i) {
    if (body[i] == '.') continue;
    if (body[i] != '0') {
      magnitude = static_cast<long long>(int_digits) - static_cast<long long>(digit) - 1;
      found = true;
      break;
    }
    ++digit;
  }
  if (!found) return sign * 0.0;
  return magnitude + exponent >= 0 ? sign * std::numeric_limits<double>::infinity() : sign * 0.0;
}

}  // namespace velorium::text

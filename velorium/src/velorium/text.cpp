#include "velorium/text.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace velorium::text {

// ---------------------------------------------------------------- messages

namespace {

// Largest fixed-notation output of a double: 309 integer digits, or "0."
// followed by 323 zeros and a digit, plus a sign.
constexpr std::size_t kFixedBufferSize = 400;

std::string shortest_fixed(double value) {
  char buf[kFixedBufferSize];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return std::string(buf, result.ptr);
}

std::string non_finite_name(double value) {
  if (std::isnan(value)) return "NaN";
  return value > 0 ? "inf" : "-inf";
}

}  // namespace

std::string display_f64(double value) {
  if (!std::isfinite(value)) return non_finite_name(value);
  return shortest_fixed(value);
}

// ---------------------------------------------------------------- debug renderings

namespace {

// "2.5e+16" -> "2.5e16", "1e-05" -> "1e-5".
std::string shortest_exponent(double value) {
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view raw(buf, static_cast<std::size_t>(result.ptr - buf));
  const auto e = raw.find('e');
  std::string out(raw.substr(0, e + 1));
  std::string_view exponent = raw.substr(e + 1);
  if (!exponent.empty() && (exponent.front() == '+' || exponent.front() == '-')) {
    if (exponent.front() == '-') out.push_back('-');
    exponent.remove_prefix(1);
  }
  while (exponent.size() > 1 && exponent.front() == '0') exponent.remove_prefix(1);
  out.append(exponent);
  return out;
}

// Characters a string literal writes as \u{...}: control characters and the
// invisible format characters that would otherwise hide in a message.
bool needs_unicode_escape(char32_t c) noexcept {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) || c == 0xFEFF;
}

void append_hex(std::string& out, std::uint32_t value) {
  char buf[16];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, 16);
  out.append(buf, result.ptr);
}

}  // namespace

std::string debug_f64(double value) {
  if (std::isnan(value)) return "NaN";
  const double magnitude = std::fabs(value);
  if (magnitude >= 1e16 || (magnitude != 0.0 && magnitude < 1e-4)) {
    if (std::isinf(value)) return display_f64(value);
    return shortest_exponent(value);
  }
  std::string out = display_f64(value);
  if (out.find('.') == std::string::npos) out.append(".0");
  return out;
}

std::string debug_f64_list(std::span<const double> values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out.append(", ");
    out.append(debug_f64(values[i]));
  }
  out.push_back(']');
  return out;
}

std::string quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t pos = 0;
  while (pos < text.size()) {
    const long len = utf8_sequence_length(text, pos);
    if (len < 0) {
      // Not UTF-8: shown byte by byte as \x escapes.
      for (long i = 0; i < -len; ++i) {
        out.append("\\x");
        const auto byte = static_cast<unsigned char>(text[pos + static_cast<std::size_t>(i)]);
        if (byte < 0x10) out.push_back('0');
        append_hex(out, byte);
      }
      pos += static_cast<std::size_t>(-len);
      continue;
    }
    const std::size_t start = pos;
    const char32_t c = decode_utf8_at(text, pos);
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      case 0: out.append("\\0"); break;
      default:
        if (needs_unicode_escape(c)) {
          out.append("\\u{");
          append_hex(out, static_cast<std::uint32_t>(c));
          out.push_back('}');
        } else {
          out.append(text.substr(start, pos - start));
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string debug_optional(std::optional<std::int32_t> value) {
  if (!value) return "None";
  return cat("Some(", *value, ")");
}

// ---------------------------------------------------------------- UTF-8

namespace {

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

char32_t decode_utf8_at(std::string_view s, std::size_t& pos) noexcept {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  std::size_t len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
  if (pos + len > s.size()) len = s.size() - pos;
  char32_t cp = b0 & (0x7F >> len);
  for (std::size_t i = 1; i < len; ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[pos + i]) & 0x3F);
  pos += len;
  return cp;
}

long utf8_sequence_length(std::string_view s, std::size_t pos) noexcept {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return -1;
  }
  for (std::size_t i = 1; i < len; ++i) {
    if (pos + i >= s.size()) return -static_cast<long>(i);
    const auto b = static_cast<unsigned char>(s[pos + i]);
    const unsigned char min = i == 1 ? lo : 0x80;
    const unsigned char max = i == 1 ? hi : 0xBF;
    if (b < min || b > max) return -static_cast<long>(i);
  }
  return static_cast<long>(len);
}

std::string_view trim(std::string_view text) noexcept {
  if (!is_valid_utf8(text)) return text;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!is_white_space(decode_utf8_at(text, next))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t next = start;
    if (!is_white_space(decode_utf8_at(text, next))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const long len = utf8_sequence_length(bytes, pos);
    if (len < 0) return false;
    pos += static_cast<std::size_t>(len);
  }
  return true;
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const long len = utf8_sequence_length(bytes, pos);
    if (len > 0) {
      out.append(bytes.substr(pos, static_cast<std::size_t>(len)));
      pos += static_cast<std::size_t>(len);
    } else {
      out.append("\xEF\xBF\xBD");
      pos += static_cast<std::size_t>(-len);
    }
  }
  return out;
}

// ---------------------------------------------------------------- numbers

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

#include "velorium/raw/debug_text.hpp"

#include <charconv>
#include <cmath>

#include "velorium/raw/utf8.hpp"
#include "velorium/text.hpp"

namespace velorium::text {
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

}  // namespace velorium::text

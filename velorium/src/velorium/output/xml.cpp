#include "velorium/output/xml.hpp"

#include <array>
#include <type_traits>
#include <charconv>
#include <system_error>

#include "velorium/text.hpp"

namespace velorium::output {
namespace {

template <class T>
void append_chars(std::string& out, T value) {
  std::array<char, 32> buffer;
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  out.append(buffer.data(), result.ptr);
}

bool is_digits(std::string_view s) noexcept {
  if (s.empty()) return false;
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int number(std::string_view s) noexcept {
  int value = 0;
  for (const char c : s) value = value * 10 + (c - '0');
  return value;
}

}  // namespace

void append_number(std::string& out, double value) { append_chars(out, value); }
void append_number(std::string& out, float value) { append_chars(out, value); }
void append_number(std::string& out, std::uint64_t value) { append_chars(out, value); }

void append_escaped(std::string& out, std::string_view text) {
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  // Invalid UTF-8 is replaced first, so that what follows sees valid text.
  std::string valid;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      valid = text::lossy_utf8(text);
      text = valid;
      break;
    }
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '&': out += "&amp;"; continue;
      case '<': out += "&lt;"; continue;
      case '>': out += "&gt;"; continue;
      case '"': out += "&quot;"; continue;
      case '\'': out += "&apos;"; continue;
      case '\t': out += "&#9;"; continue;
      case '\n': out += "&#10;"; continue;
      case '\r': out += "&#13;"; continue;
      default: break;
    }
    if (u < 0x20) {
      out += kReplacement;
    } else if (u == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
               static_cast<unsigned char>(text[i + 2]) >= 0xBE) {
      out += kReplacement;  // U+FFFE and U+FFFF are not XML characters
      i += 2;
    } else {
      out += c;
    }
  }
}

std::string escaped(std::string_view text) {
  std::string out;
  append_escaped(out, text);
  return out;
}

std::string xml_name(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 1);
  for (const char c : text) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '.' || c == '_';
    out += keep ? c : '_';
  }
  if (out.empty() || !((out[0] >= 'a' && out[0] <= 'z') || (out[0] >= 'A' && out[0] <= 'Z') || out[0] == '_')) {
    out.insert(out.begin(), '_');
  }
  return out;
}

bool is_xml_datetime(std::string_view s) noexcept {
  if (!s.empty() && s.front() == '-') s.remove_prefix(1);
  // Year: at least four digits, no leading zero beyond four, not 0000.
  std::size_t year_end = s.find('-');
  if (year_end == std::string_view::npos || year_end < 4) return false;
  const std::string_view year_text = s.substr(0, year_end);
  if (!is_digits(year_text) || (year_text.size() > 4 && year_text.front() == '0')) return false;
  if (year_text.find_first_not_of('0') == std::string_view::npos) return false;
  s.remove_prefix(year_end + 1);
  // MM-DDThh:mm:ss
  if (s.size() < 14 || s[2] != '-' || s[5] != 'T' || s[8] != ':' || s[11] != ':') return false;
  const std::string_view mm = s.substr(0, 2), dd = s.substr(3, 2), hh = s.substr(6, 2), mi = s.substr(9, 2),
                         ss = s.substr(12, 2);
  if (!is_digits(mm) || !is_digits(dd) || !is_digits(hh) || !is_digits(mi) || !is_digits(ss)) return false;
  const int month = number(mm), day = number(dd), hour = number(hh), minute = number(mi), second = number(ss);
  int year_mod_400 = 0;  // the year may have more than four digits
  for (const char c : year_text) year_mod_400 = (year_mod_400 * 10 + (c - '0')) % 400;
  const bool leap = year_mod_400 % 4 == 0 && (year_mod_400 % 100 != 0 || year_mod_400 == 0);
  static constexpr std::array<int, 12> kDays{31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[static_cast<std::size_t>(month - 1)]) return false;
  if (month == 2 && day == 29 && !leap) return false;
  if (hour > 23 || minute > 59 || second > 59) return false;
  s.remove_prefix(14);
  if (!s.empty() && s.front() == '.') {
    std::size_t digits = 1;
    while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9') ++digits;
    if (digits == 1) return false;
    s.remove_prefix(digits);
  }
  if (s.empty() || s == "Z") return true;
  if (s.size() != 6 || (s[0] != '+' && s[0] != '-') || s[3] != ':') return false;
  const std::string_view zh = s.substr(1, 2), zm = s.substr(4, 2);
  if (!is_digits(zh) || !is_digits(zm)) return false;
  const int zone_hour = number(zh), zone_minute = number(zm);
  if (zone_minute > 59 || zone_hour > 14 || (zone_hour == 14 && zone_minute != 0)) return false;
  return true;
}

std::string file_uri(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) absolute = path;
  absolute = absolute.lexically_normal();
  const std::string& native = absolute.native();
  std::string out = "file://";
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : native) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '.' || c == '_' || c == '~' || c == '/';
    if (keep) {
      out += c;
    } else {
      const auto u = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

}  // namespace velorium::output

namespace velorium::output {
namespace {

void append_value(std::string& out, const Attribute::Value& value) {
  std::visit(
      [&](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string_view>) {
          append_escaped(out, v);
        } else if constexpr (std::is_same_v<V, Verbatim>) {
          out += v.text;
        } else {
          append_number(out, v);
        }
      },
      value);
}

}  // namespace

void XmlWriter::start_tag(std::string_view name, std::span<const Attribute> attributes) {
  std::string& out = *out_;
  out.append(static_cast<std::size_t>(depth_) * 2, ' ');
  out += '<';
  out += name;
  values_.clear();
  for (const Attribute& a : attributes) {
    out += ' ';
    out += a.name;
    out += "=\"";
    const std::size_t at = out.size();
    append_value(out, a.value);
    values_.emplace_back(at, out.size() - at);
    out += '"';
  }
}

void XmlWriter::open(std::string_view name, std::span<const Attribute> attributes) {
  start_tag(name, attributes);
  *out_ += ">\n";
  ++depth_;
}

void XmlWriter::close(std::string_view name) {
  --depth_;
  std::string& out = *out_;
  out.append(static_cast<std::size_t>(depth_) * 2, ' ');
  out += "</";
  out += name;
  out += ">\n";
}

void XmlWriter::empty(std::string_view name, std::span<const Attribute> attributes) {
  start_tag(name, attributes);
  *out_ += "/>\n";
}

void XmlWriter::leaf(std::string_view name, std::span<const Attribute> attributes,
                     std::variant<std::string_view, Verbatim> text) {
  start_tag(name, attributes);
  std::string& out = *out_;
  out += '>';
  if (const auto* verbatim = std::get_if<Verbatim>(&text)) {
    out += verbatim->text;
  } else {
    append_escaped(out, std::get<std::string_view>(text));
  }
  out += "</";
  out += name;
  out += ">\n";
}

}  // namespace velorium::output

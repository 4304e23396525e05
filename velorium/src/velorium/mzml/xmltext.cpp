#include "velorium/mzml/xmltext.hpp"

#include <array>
#include <charconv>
#include <system_error>

namespace velorium::mzml {
namespace {

template <class T>
void append_chars(std::string& out, T value) {
  std::array<char, 32> buffer;
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  out.append(buffer.data(), result.ptr);
}

// Length of the valid UTF-8 sequence at the start of `s`, or 0.
std::size_t utf8_sequence(std::string_view s) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(0);
  if (b0 < 0x80) return 1;
  std::size_t length = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  if (byte(1) < lo || byte(1) > hi) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
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
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    switch (c) {
      case '&': out += "&amp;"; ++i; continue;
      case '<': out += "&lt;"; ++i; continue;
      case '>': out += "&gt;"; ++i; continue;
      case '"': out += "&quot;"; ++i; continue;
      case '\'': out += "&apos;"; ++i; continue;
      default: break;
    }
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20) {
      // Tab, line feed and carriage return as references, so that attribute
      // value normalisation keeps them.
      if (c == '\t') out += "&#9;";
      else if (c == '\n') out += "&#10;";
      else if (c == '\r') out += "&#13;";
      else out += kReplacement;
      ++i;
      continue;
    }
    const std::size_t length = utf8_sequence(text.substr(i));
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    // U+FFFE and U+FFFF are not XML characters.
    if (length == 3 && u == 0xEF && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        static_cast<unsigned char>(text[i + 2]) >= 0xBE) {
      out += kReplacement;
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
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

}  // namespace velorium::mzml

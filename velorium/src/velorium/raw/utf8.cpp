#include "velorium/raw/utf8.hpp"

namespace velorium::text {
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

}  // namespace velorium::text

// Locale-independent formatting of messages: concatenation of text,
// integers and f64 values. Error texts and log records are built with it.
#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace velorium::text {

// Shortest decimal that reads back to the same f64, never in exponent form
// and without a trailing ".0": "1", "0.0001", "-2.5", "-0"; "NaN", "inf",
// "-inf" for the non-finite values.
std::string display_f64(double value);

// The bytes as UTF-8 text, with every maximal invalid subsequence replaced
// by U+FFFD (file names and other text from outside).
std::string lossy_utf8(std::string_view bytes);

namespace detail {

template <class T>
concept Integer = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char>;

inline void append(std::string& out, std::string_view part) { out.append(part); }
inline void append(std::string& out, char c) { out.push_back(c); }
inline void append(std::string& out, double value) { out.append(display_f64(value)); }

template <Integer T>
void append(std::string& out, T value) {
  char buf[24];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

}  // namespace detail

// Concatenates text, characters, integers (decimal) and f64 values (in the
// form of display_f64).
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (detail::append(out, parts), ...);
  return out;
}

}  // namespace velorium::text

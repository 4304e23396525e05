// Text helpers for messages: concatenation, number formatting and parsing
// independent of the locale, string-literal quoting, UTF-8 handling.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace velorium::text {

// Shortest decimal that reads back to the same f64, never in exponent form
// and without a trailing ".0": "1", "0.0001", "-2.5", "-0"; "NaN", "inf",
// "-inf" for the non-finite values.
std::string display_f64(double value);

// Shortest round-trip form with at least one digit after the point ("1.0",
// "0.25", "0.0"), in exponent form below 1e-4 or from 1e16 on in magnitude
// ("1e-5", "2.5e16"); "NaN", "inf", "-inf".
std::string debug_f64(double value);

// "[1.0, 0.25, NaN]": each element in the form of debug_f64.
std::string debug_f64_list(std::span<const double> values);

// A string literal: in double quotes, with a backslash before '"' and '\',
// and escapes for control characters ("\n", "\t", "\r", "\0", "\u{1b}").
std::string quote(std::string_view text);

// "Some(7)" or "None".
std::string debug_optional(std::optional<std::int32_t> value);

// Removes leading and trailing Unicode white space (the White_Space
// property) from UTF-8 text.
std::string_view trim(std::string_view text) noexcept;

bool is_valid_utf8(std::string_view bytes) noexcept;

// The bytes as UTF-8 text, with every maximal invalid subsequence replaced
// by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// Decimal integers: an optional '+' (and '-' for the signed form), then one
// or more ASCII digits, nothing else, within the type's range.
std::optional<std::uint64_t> parse_u64(std::string_view text) noexcept;
std::optional<std::uint32_t> parse_u32(std::string_view text) noexcept;
std::optional<std::int32_t> parse_i32(std::string_view text) noexcept;

// A decimal floating-point number: an optional sign, then digits with an
// optional decimal point (at least one digit) and an optional exponent, or
// "inf", "infinity", "nan" in any letter case. Out-of-range values become
// infinities or zeros.
std::optional<double> parse_f64(std::string_view text) noexcept;

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

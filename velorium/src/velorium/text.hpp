// The library's text helpers, locale-independent: the concatenation that
// builds messages and log records, the renderings that error texts embed,
// UTF-8 validation and repair, strict number parsing and ASCII comparison.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velorium::text {

// ---------------------------------------------------------------- messages

// Shortest decimal that reads back to the same f64, never in exponent form
// and without a trailing ".0": "1", "0.0001", "-2.5", "-0"; "NaN", "inf",
// "-inf" for the non-finite values.
std::string display_f64(double value);

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

// ---------------------------------------------------------------- debug renderings

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

// ---------------------------------------------------------------- UTF-8

bool is_valid_utf8(std::string_view bytes) noexcept;

// The bytes as UTF-8 text, with every maximal invalid subsequence replaced
// by U+FFFD (file names and other text from outside).
std::string lossy_utf8(std::string_view bytes);

// Removes leading and trailing Unicode white space (the White_Space
// property) from UTF-8 text; text that is not valid UTF-8 is returned as is.
std::string_view trim(std::string_view text) noexcept;

// Length of the valid UTF-8 sequence starting at `pos` (below s.size()), or
// the length of the maximal invalid prefix there (at least 1) as a negative
// number.
long utf8_sequence_length(std::string_view s, std::size_t pos) noexcept;

// The code point of the valid UTF-8 sequence at `pos`; advances `pos` past it.
char32_t decode_utf8_at(std::string_view s, std::size_t& pos) noexcept;

// ---------------------------------------------------------------- numbers

// Strict parsers of decimal numbers (no locale, no leading or trailing white
// space, nothing after the number).
//
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

// ---------------------------------------------------------------- ASCII

constexpr char ascii_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Equal apart from the letter case of ASCII letters.
constexpr bool ascii_iequals(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

}  // namespace velorium::text

// Strict parsers of decimal numbers in text (no locale, no leading or
// trailing white space, nothing after the number).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velorium::text {

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

}  // namespace velorium::text

// Debug renderings that error texts embed: f64 values and lists of them,
// string literals, optional identifiers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velorium::text {

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

}  // namespace velorium::text

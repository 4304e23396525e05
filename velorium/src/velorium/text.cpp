#include "velorium/text.hpp"

#include <cmath>

namespace velorium::text {
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

}  // namespace velorium::text

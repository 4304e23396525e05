#include "velorium/raw/calibration.hpp"

#include <bit>
#include <cmath>

#include "velorium/text.hpp"

namespace velorium::raw::calibration {

Result<PolynomialStep> PolynomialStep::from_flags(std::uint32_t value_use_flags, std::span<const double> values) {
  if (values.size() != 8) {
    return parse_error(text::cat("Polynomial calibration step needs 8 values, got ", values.size()));
  }
  for (const double v : values) {
    if (!std::isfinite(v)) {
      return parse_error("Polynomial calibration step has a non-finite value: " + text::debug_f64_list(values));
    }
  }
  const double lo = values[0];
  const double hi = values[1];
  if (lo > hi) return parse_error(text::cat("Polynomial calibration range is inverted: ", lo, " > ", hi));

  const auto selected = static_cast<std::size_t>(std::popcount(value_use_flags));
  if (selected > kMaxTerms) {
    return parse_error(text::cat("Polynomial ValueUseFlags ", value_use_flags, " selects ", selected,
                                 " powers; at most 6 coefficients exist"));
  }
  for (std::size_t pos = 2 + selected; pos < 8; ++pos) {
    if (values[pos] != 0.0) {
      return parse_error(text::cat("Polynomial coefficient ", values[pos], " has no power in ValueUseFlags ",
                                   value_use_flags));
    }
  }

  PolynomialStep step;
  for (std::uint32_t power = 0; power < 32; ++power) {
    if ((value_use_flags >> power & 1u) == 0) continue;
    step.terms_[step.count_] = PolynomialTerm{power, values[2 + step.count_]};
    ++step.count_;
  }
  step.range_low_ = lo;
  step.range_high_ = hi;
  return step;
}

Result<TofCalibration> TofCalibration::from_coefficients(std::span<const double> coefficients,
                                                         std::uint32_t value_use_flags, CalibrationSource source) {
  if (coefficients.size() != 10) {
    return parse_error(text::cat("mass calibration needs 10 coefficients, got ", coefficients.size()));
  }
  const double a = coefficients[0];
  const double t0 = coefficients[1];
  if (!std::isfinite(t0) || !std::isfinite(a) || a == 0.0) {
    return parse_error(text::cat("invalid Traditional calibration coefficients A=", a, ", T0=", t0));
  }
  VELORIUM_TRY(PolynomialStep polynomial, PolynomialStep::from_flags(value_use_flags, coefficients.subspan(2)));
  return TofCalibration{std::move(polynomial), a, t0, source};
}

}  // namespace velorium::raw::calibration

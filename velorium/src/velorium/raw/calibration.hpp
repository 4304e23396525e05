// Mass calibration models: the Traditional square law (A, T0) with a
// Polynomial correction whose powers a bit mask (ValueUseFlags) selects.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "velorium/error.hpp"
#include "velorium/scan_index.hpp"

namespace velorium::raw::calibration {

using velorium::CalibrationSource;

struct PolynomialTerm {
  std::uint32_t power;
  double coefficient;
  friend bool operator==(const PolynomialTerm&, const PolynomialTerm&) = default;
};

// At most six terms, powers strictly ascending in 0..31; a finite range with
// range_low <= range_high.
class PolynomialStep {
 public:
  static constexpr std::size_t kMaxTerms = 6;

  // `values` are range low, range high and the coefficients c1..c6.
  static Result<PolynomialStep> from_flags(std::uint32_t value_use_flags, std::span<const double> values);

  std::span<const PolynomialTerm> terms() const noexcept { return {terms_.data(), count_}; }
  double range_low() const noexcept { return range_low_; }
  double range_high() const noexcept { return range_high_; }

  // Sum of c * x^p over the terms in ascending power order, from -0.0.
  double evaluate(double x) const noexcept {
    double sum = -0.0;
    for (std::size_t i = 0; i < count_; ++i) sum += terms_[i].coefficient * int_power(x, terms_[i].power);
    return sum;
  }

  // Square-and-multiply, so x^0 is 1 for every x (NaN included).
  static double int_power(double x, std::uint32_t exponent) noexcept {
    double result = 1.0;
    while (exponent != 0) {
      if ((exponent & 1u) != 0) result *= x;
      exponent >>= 1;
      if (exponent != 0) x *= x;
    }
    return result;
  }

  friend bool operator==(const PolynomialStep&, const PolynomialStep&) = default;

 private:
  std::array<PolynomialTerm, kMaxTerms> terms_{};
  std::size_t count_ = 0;
  double range_low_ = 0.0;
  double range_high_ = 0.0;
};

struct TofCalibration {
  PolynomialStep polynomial;
  double a = 1.0;   // finite, not zero
  double t0 = 0.0;  // finite
  CalibrationSource source = CalibrationSource::MassCalRecord;

  // `coefficients`: A, T0, range low, range high, c1..c6 (ten values).
  static Result<TofCalibration> from_coefficients(std::span<const double> coefficients,
                                                  std::uint32_t value_use_flags, CalibrationSource source);

  // m/z of flight time t: (A (t - T0))^2 minus the polynomial evaluated on t
  // clamped to its range.
  double mz_at(double t) const noexcept {
    double x = t;
    if (t < polynomial.range_low()) x = polynomial.range_low();
    if (t > polynomial.range_high()) x = polynomial.range_high();
    const double s = polynomial.evaluate(x);
    const double m = a * (t - t0);
    return m * m - s;
  }

  // mz_at of the flight times x0 + i * dx, i from `first` to first + n - 1,
  // into `out`. The values are those of mz_at bit for bit; points are
  // computed a block at a time so that the compiler can use vector
  // instructions.
  void mz_at_axis(double x0, double dx, std::size_t first, double* out, std::size_t n) const noexcept;

  // mz_at of each of the n flight times `t`, into `out`.
  void mz_at_times(const double* t, double* out, std::size_t n) const noexcept;

  friend bool operator==(const TofCalibration&, const TofCalibration&) = default;
};

}  // namespace velorium::raw::calibration

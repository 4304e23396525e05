#include "velorium/raw/calibration.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include "velorium/text.hpp"

namespace velorium::raw::calibration {
namespace {

constexpr std::size_t kLanes = 2;

// Two f64 lanes: one SSE2 register on baseline x86-64; the compiler maps the
// operations onto whatever vector registers other targets have.
using Lanes = double __attribute__((vector_size(kLanes * sizeof(double))));

// mz_at of two groups of kLanes flight times with the same operations in
// the same order for every lane: each lane's value is the one mz_at gives.
// The two groups are independent chains the processor overlaps.
inline void mz_block(const TofCalibration& cal, Lanes& t1, Lanes& t2) noexcept {
  const Lanes lo = Lanes{} + cal.polynomial.range_low();
  const Lanes hi = Lanes{} + cal.polynomial.range_high();
  Lanes x1 = t1 < lo ? lo : t1;
  Lanes x2 = t2 < lo ? lo : t2;
  x1 = t1 > hi ? hi : x1;
  x2 = t2 > hi ? hi : x2;
  Lanes s1 = Lanes{} - 0.0;
  Lanes s2 = s1;
  for (const PolynomialTerm& term : cal.polynomial.terms()) {
    Lanes r1 = Lanes{} + 1.0;
    Lanes r2 = r1;
    Lanes b1 = x1;
    Lanes b2 = x2;
    for (std::uint32_t e = term.power; e != 0;) {
      if ((e & 1u) != 0) {
        r1 *= b1;
        r2 *= b2;
      }
      e >>= 1;
      if (e != 0) {
        b1 *= b1;
        b2 *= b2;
      }
    }
    s1 += term.coefficient * r1;
    s2 += term.coefficient * r2;
  }
  const Lanes m1 = cal.a * (t1 - cal.t0);
  const Lanes m2 = cal.a * (t2 - cal.t0);
  t1 = m1 * m1 - s1;
  t2 = m2 * m2 - s2;
}

constexpr std::size_t kBlock = 2 * kLanes;

}  // namespace

void TofCalibration::mz_at_axis(double x0, double dx, std::size_t first, double* out, std::size_t n) const noexcept {
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    Lanes t1, t2;
    for (std::size_t j = 0; j < kLanes; ++j) {
      t1[j] = x0 + static_cast<double>(first + i + j) * dx;
      t2[j] = x0 + static_cast<double>(first + i + kLanes + j) * dx;
    }
    mz_block(*this, t1, t2);
    std::memcpy(out + i, &t1, sizeof t1);
    std::memcpy(out + i + kLanes, &t2, sizeof t2);
  }
  for (; i < n; ++i) out[i] = mz_at(x0 + static_cast<double>(first + i) * dx);
}

void TofCalibration::mz_at_times(const double* t, double* out, std::size_t n) const noexcept {
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    Lanes t1, t2;
    std::memcpy(&t1, t + i, sizeof t1);
    std::memcpy(&t2, t + i + kLanes, sizeof t2);
    mz_block(*this, t1, t2);
    std::memcpy(out + i, &t1, sizeof t1);
    std::memcpy(out + i + kLanes, &t2, sizeof t2);
  }
  for (; i < n; ++i) out[i] = mz_at(t[i]);
}

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

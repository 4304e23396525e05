#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <limits>

#include <gtest/gtest.h>

#include "velorium/raw/calibration.hpp"

namespace {

using velorium::raw::calibration::CalibrationSource;
using velorium::raw::calibration::PolynomialStep;
using velorium::raw::calibration::PolynomialTerm;
using velorium::raw::calibration::TofCalibration;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<double> vec(double a, double t0, double lo, double hi, std::array<double, 6> c) {
  return {a, t0, lo, hi, c[0], c[1], c[2], c[3], c[4], c[5]};
}

std::string error_of(const std::vector<double>& coefficients, std::uint32_t flags) {
  auto result = TofCalibration::from_coefficients(coefficients, flags, CalibrationSource::MassCalRecord);
  return result ? std::string("<ok>") : result.error().display();
}

TEST(FromCoefficients, CountAndTraditionalChecks) {
  EXPECT_EQ(error_of(std::vector<double>(11, 1.0), 0), "parse error: mass calibration needs 10 coefficients, got 11");
  EXPECT_EQ(error_of({}, 0), "parse error: mass calibration needs 10 coefficients, got 0");
  EXPECT_EQ(error_of(vec(0, 12.5, 0, 1, {}), 0),
            "parse error: invalid Traditional calibration coefficients A=0, T0=12.5");
  EXPECT_EQ(error_of(vec(-0.0, 1, 0, 1, {}), 0),
            "parse error: invalid Traditional calibration coefficients A=-0, T0=1");
  EXPECT_EQ(error_of(vec(kInf, 1, 0, 1, {}), 0),
            "parse error: invalid Traditional calibration coefficients A=inf, T0=1");
  // The Traditional check comes before the polynomial's.
  EXPECT_EQ(error_of(vec(2, kNaN, 5, 4, {kNaN}), 0),
            "parse error: invalid Traditional calibration coefficients A=2, T0=NaN");
}

TEST(FromFlags, ChecksInOrder) {
  const auto step_error = [](std::uint32_t flags, std::vector<double> values) {
    auto result = PolynomialStep::from_flags(flags, values);
    return result ? std::string("<ok>") : result.error().display();
  };
  EXPECT_EQ(step_error(0, {1, 2}), "parse error: Polynomial calibration step needs 8 values, got 2");
  EXPECT_EQ(step_error(127, {5, 4, 1, 0.25, kNaN, 0, 0, 0}),
            "parse error: Polynomial calibration step has a non-finite value: [5.0, 4.0, 1.0, 0.25, NaN, 0.0, 0.0, 0.0]");
  EXPECT_EQ(step_error(0, {1e-5, 2.5e16, -kInf, 0, 0, 0, 0, 0}),
            "parse error: Polynomial calibration step has a non-finite value: [1e-5, 2.5e16, -inf, 0.0, 0.0, 0.0, 0.0, 0.0]");
  EXPECT_EQ(step_error(127, {5, 4, 0, 0, 0, 0, 0, 0}), "parse error: Polynomial calibration range is inverted: 5 > 4");
  EXPECT_EQ(step_error(127, {0, 1, 0, 0, 0, 0, 0, 0}),
            "parse error: Polynomial ValueUseFlags 127 selects 7 powers; at most 6 coefficients exist");
  EXPECT_EQ(step_error(3, {0, 1, 1, 2, 0, 0, 4, 0}), "parse error: Polynomial coefficient 4 has no power in ValueUseFlags 3");
  EXPECT_EQ(step_error(0, {0, 1, 0.5, 0, 0, 0, 0, 0}),
            "parse error: Polynomial coefficient 0.5 has no power in ValueUseFlags 0");
  EXPECT_EQ(step_error(0, {0, 1, -0.0, 0, 0, 0, 0, 0}), "<ok>");
  EXPECT_EQ(step_error(4294967295u, {0, 1, 0, 0, 0, 0, 0, 0}),
            "parse error: Polynomial ValueUseFlags 4294967295 selects 32 powers; at most 6 coefficients exist");
}

TEST(FromFlags, PowersPairWithCoefficientsInAscendingOrder) {
  auto step = PolynomialStep::from_flags(5, std::vector<double>{1, 2, 0.5, 0.25, 0, 0, 0, 0});
  ASSERT_TRUE(step);
  ASSERT_EQ(step->terms().size(), 2u);
  EXPECT_EQ(step->terms()[0], (PolynomialTerm{0, 0.5}));
  EXPECT_EQ(step->terms()[1], (PolynomialTerm{2, 0.25}));

  auto high = PolynomialStep::from_flags(2147483648u, std::vector<double>{0, 1, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(high);
  ASSERT_EQ(high->terms().size(), 1u);
  EXPECT_EQ(high->terms()[0], (PolynomialTerm{31, 0.0}));  // a zero coefficient still forms a term

  auto none = PolynomialStep::from_flags(0, std::vector<double>(8, 0.0));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->terms().empty());
}

TEST(MzAt, SquareLawWithoutTerms) {
  auto cal = TofCalibration::from_coefficients(vec(2, 3, 0, 100, {}), 0, CalibrationSource::DefaultMassCal);
  ASSERT_TRUE(cal);
  EXPECT_EQ(cal->source, CalibrationSource::DefaultMassCal);
  EXPECT_EQ(cal->mz_at(10), 196.0);  // (2 * 7)^2
  EXPECT_EQ(cal->mz_at(1000), 3976036.0);
  auto negative = TofCalibration::from_coefficients(vec(-2, 3, 0, 100, {}), 0, CalibrationSource::DefaultMassCal);
  ASSERT_TRUE(negative);
  for (const double t : {0.0, 10.0, 12345.678}) EXPECT_EQ(negative->mz_at(t), cal->mz_at(t));
}

TEST(MzAt, CorrectionIsSubtractedOnTheClampedTime) {
  // Flags 5: terms (0, c1) and (2, c2).
  const double c1 = 0.5, c2 = 0.001;
  auto cal = TofCalibration::from_coefficients(vec(0.01, 100, 200, 400, {c1, c2}), 5, CalibrationSource::MassCalRecord);
  ASSERT_TRUE(cal);
  const auto expected = [&](double t, double x) {
    const double m = 0.01 * (t - 100);
    return m * m - (-0.0 + c1 * 1.0 + c2 * (x * x));
  };
  EXPECT_EQ(cal->mz_at(300), expected(300, 300));
  EXPECT_EQ(cal->mz_at(150), expected(150, 200));  // below the range: polynomial at range_low
  EXPECT_EQ(cal->mz_at(900), expected(900, 400));
  EXPECT_TRUE(std::isnan(cal->mz_at(kNaN)));
}

TEST(MzAt, DegenerateRangeMakesThePolynomialConstant) {
  auto cal = TofCalibration::from_coefficients(vec(1, 0, 7, 7, {1, 1}), 3, CalibrationSource::MassCalRecord);
  ASSERT_TRUE(cal);
  for (const double t : {0.0, 7.0, 100.0}) EXPECT_EQ(cal->mz_at(t), t * t - (1.0 + 7.0));
}

TEST(MzAt, IntegerPowerBySquareAndMultiply) {
  EXPECT_EQ(PolynomialStep::int_power(kNaN, 0), 1.0);
  EXPECT_EQ(PolynomialStep::int_power(2.0, 31), 2147483648.0);
  EXPECT_EQ(PolynomialStep::int_power(-1.5, 3), -3.375);
  // 1.1^5 by square-and-multiply: r = x * (x^2)^2, which differs in the last
  // bit from repeated multiplication.
  const double x = 1.1;
  const double x2 = x * x;
  const double x4 = x2 * x2;
  EXPECT_EQ(PolynomialStep::int_power(x, 5), 1.0 * x * x4);
}

}  // namespace

namespace {

// The block evaluations must give mz_at's value bit for bit, for every
// point, whatever the terms, the clamping and the tail length.
TEST(MzAtBlocks, SameBitsAsMzAt) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const auto same = [](double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
  };
  for (int round = 0; round < 300; ++round) {
    std::uint32_t flags = 0;
    const int bits = static_cast<int>(rng() % 7);
    for (int b = 0; b < bits; ++b) flags |= 1u << (rng() % 32);
    std::array<double, 6> c{};
    for (int k = 0; k < std::popcount(flags); ++k) c[static_cast<std::size_t>(k)] = unit(rng) * 1e-3;
    const double lo = 1000.0 + 500.0 * unit(rng);
    const double hi = lo + 100000.0 * std::fabs(unit(rng));
    auto cal = TofCalibration::from_coefficients(vec(3e-4 + 1e-4 * unit(rng), unit(rng), lo, hi, c), flags,
                                                 CalibrationSource::MassCalRecord);
    ASSERT_TRUE(cal) << cal.error().display();
    const std::size_t n = rng() % 40;
    const double x0 = lo - 200.0 + 400.0 * unit(rng);
    const double dx = 0.5 + std::fabs(unit(rng)) * 5000.0;
    std::vector<double> axis(n), times(n), from_times(n);
    cal->mz_at_axis(x0, dx, 0, axis.data(), n);
    // A later stretch of the same axis, as the decoders compute it in chunks.
    const std::size_t first = rng() % 5000;
    std::vector<double> stretch(n);
    cal->mz_at_axis(x0, dx, first, stretch.data(), n);
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_TRUE(same(stretch[i], cal->mz_at(x0 + static_cast<double>(first + i) * dx))) << round << " " << i;
    }
    for (std::size_t i = 0; i < n; ++i) {
      times[i] = round % 10 == 0 && i % 7 == 3 ? (i % 2 ? kNaN : -kInf) : x0 + static_cast<double>(i) * dx;
      if (round % 10 != 0) {
        const double scalar = cal->mz_at(x0 + static_cast<double>(i) * dx);
        EXPECT_TRUE(same(axis[i], scalar)) << round << " " << i << ": " << axis[i] << " vs " << scalar;
      }
    }
    cal->mz_at_times(times.data(), from_times.data(), n);
    for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(same(from_times[i], cal->mz_at(times[i]))) << round << " " << i;
    // In place, as the centroid decoder uses it.
    cal->mz_at_times(times.data(), times.data(), n);
    EXPECT_TRUE(std::equal(times.begin(), times.end(), from_times.begin(), same));
  }
}

}  // namespace

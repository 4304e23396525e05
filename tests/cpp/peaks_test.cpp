#include "velorium/peaks/pick.hpp"

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

using velorium::peaks::PickParams;
using velorium::peaks::pick;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Peaks {
  std::vector<double> mz;
  std::vector<float> intensity;
};

Peaks picked(const std::vector<double>& mz, const std::vector<float>& intensity, PickParams params = {}) {
  Peaks out;
  auto result = pick(mz, intensity, params, out.mz, out.intensity);
  EXPECT_TRUE(result) << result.error().display();
  return out;
}

// A time-of-flight spectrum: flight times on a regular grid, m/z = (a (t - t0))^2,
// so the m/z spacing grows with the square root of m/z. Each peak is a
// Gaussian in flight time whose m/z width is m/z / resolution (FWHM).
struct TofSpectrum {
  static constexpr double a = 4.0e-4;
  static constexpr double t0 = 1.5;
  static constexpr double dt = 0.125;
  double mz_low = 100.0;
  double mz_high = 1600.0;

  double time_of(double mz) const { return t0 + std::sqrt(mz) / a; }

  Peaks render(const std::vector<std::pair<double, double>>& peaks, double resolution) const {
    const double first = time_of(mz_low);
    const std::size_t n = static_cast<std::size_t>((time_of(mz_high) - first) / dt);
    Peaks out;
    out.mz.resize(n);
    std::vector<double> sum(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      const double d = a * (first + static_cast<double>(i) * dt - t0);
      out.mz[i] = d * d;
    }
    for (const auto& [mz, height] : peaks) {
      const double sigma = std::sqrt(mz) / (2.0 * a * resolution) / 2.3548200450309493;
      const double centre = (time_of(mz) - first) / dt;
      const double reach = 6.0 * sigma / dt;
      const auto lo = static_cast<std::size_t>(std::max(0.0, std::floor(centre - reach)));
      const auto hi = std::min(n, static_cast<std::size_t>(std::ceil(centre + reach)) + 1);
      for (std::size_t i = lo; i < hi; ++i) {
        const double z = (static_cast<double>(i) - centre) * dt / sigma;
        sum[i] += height * std::exp(-0.5 * z * z);
      }
    }
    out.intensity.assign(sum.begin(), sum.end());
    return out;
  }
};

// Well separated peaks, log-uniform heights, at m/z 120 to 1500.
std::vector<std::pair<double, double>> peak_list(unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> jitter(-0.4, 0.4);
  std::uniform_real_distribution<double> log_height(std::log(50.0), std::log(1e6));
  std::vector<std::pair<double, double>> peaks;
  for (double mz = 120.0; mz < 1500.0; mz += 23.0) peaks.emplace_back(mz + jitter(rng), std::exp(log_height(rng)));
  return peaks;
}

struct ResolutionCase {
  double resolution;
  double max_ppm;  // bound on the apex m/z error
};

class PickResolution : public ::testing::TestWithParam<ResolutionCase> {};

// Every true peak found once, at its m/z within the bound, with its height
// within 1 %, and nothing else: noiseless Gaussians on a time-of-flight grid.
TEST_P(PickResolution, FindsEveryGaussianAtItsApex) {
  const TofSpectrum grid;
  const auto truth = peak_list(7);
  const Peaks spectrum = grid.render(truth, GetParam().resolution);
  // Without noise the positive points are peak flanks: no noise floor.
  const Peaks out = picked(spectrum.mz, spectrum.intensity, PickParams{0.0, 0.0});
  ASSERT_EQ(out.mz.size(), truth.size());
  for (std::size_t k = 0; k < truth.size(); ++k) {
    const auto [mz, height] = truth[k];
    EXPECT_LT(std::abs(out.mz[k] - mz) / mz * 1e6, GetParam().max_ppm) << "peak at " << mz;
    EXPECT_NEAR(out.intensity[k], height, 0.01 * height) << "peak at " << mz;
  }
}

INSTANTIATE_TEST_SUITE_P(Resolutions, PickResolution,
                         ::testing::Values(ResolutionCase{10000, 0.05}, ResolutionCase{20000, 0.05},
                                           ResolutionCase{40000, 0.05}, ResolutionCase{60000, 0.05}));

// Zero runs dropped from the arrays leave gaps in the m/z sampling; the
// centroids are the same, bit for bit, as those of the spectrum with its
// zeros.
TEST(Pick, ZeroRunsDroppedGiveTheSameCentroids) {
  const TofSpectrum grid;
  const Peaks full = grid.render(peak_list(11), 30000);
  Peaks trimmed;
  for (std::size_t i = 0; i < full.mz.size(); ++i) {
    if (full.intensity[i] != 0.0f) {
      trimmed.mz.push_back(full.mz[i]);
      trimmed.intensity.push_back(full.intensity[i]);
    }
  }
  ASSERT_LT(trimmed.mz.size(), full.mz.size() / 2);
  const Peaks a = picked(full.mz, full.intensity);
  const Peaks b = picked(trimmed.mz, trimmed.intensity);
  ASSERT_GT(a.mz.size(), 10u);
  EXPECT_EQ(a.mz, b.mz);
  EXPECT_EQ(a.intensity, b.intensity);
}

struct EdgeCase {
  const char* name;
  std::vector<float> intensity;  // on the m/z values 100, 101, 102, ...
  std::vector<double> mz_out;
  std::vector<float> intensity_out;
};

class PickEdges : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(PickEdges, GivesTheExpectedCentroids) {
  const EdgeCase& c = GetParam();
  std::vector<double> mz;
  for (std::size_t i = 0; i < c.intensity.size(); ++i) mz.push_back(100.0 + static_cast<double>(i));
  const Peaks out = picked(mz, c.intensity, PickParams{0.0, 0.0});
  ASSERT_EQ(out.mz.size(), c.mz_out.size());
  for (std::size_t k = 0; k < out.mz.size(); ++k) {
    EXPECT_NEAR(out.mz[k], c.mz_out[k], 1e-9);
    if (!c.intensity_out.empty()) {
      EXPECT_FLOAT_EQ(out.intensity[k], c.intensity_out[k]);
    }
  }
}

// Symmetric three-point peaks have their apex on the middle point; a Gaussian
// with values 1, 4, 1 (log ratio ln 4 each side) keeps height 4.
INSTANTIATE_TEST_SUITE_P(
    Cases, PickEdges,
    ::testing::Values(
        EdgeCase{"empty", {}, {}, {}},
        EdgeCase{"one point", {5}, {}, {}},
        EdgeCase{"rising to the end", {1, 3, 5}, {100.0 + 13.0 / 8.0}, {5}},
        EdgeCase{"two points alone", {0, 3, 5, 0}, {}, {}},
        EdgeCase{"peak on the first point", {9, 4, 1, 0}, {100.0 + 4.0 / 13.0}, {9}},
        EdgeCase{"single-point spikes", {0, 7, 0, 0, 3, 0}, {}, {}},
        EdgeCase{"plateau taken once", {0, 1, 4, 4, 4, 1, 0}, {103.0}, {}},
        EdgeCase{"Gaussian of three points", {0, 1, 4, 1, 0}, {102.0}, {4}},
        EdgeCase{"NaN splits a peak into spikes", {0, 3, kNaN, 3, 0}, {}, {}},
        EdgeCase{"infinity counts as zero", {1, 2, 8, kInf, 2, 0}, {101.8}, {8}},
        EdgeCase{"negative values count as zero", {-5, 1, 4, 1, -5, -9}, {102.0}, {4}},
        EdgeCase{"peak cut by a zero run", {0, 0, 6, 3, 1, 0}, {102.0 + 1.0 / 3.0}, {6}},
        EdgeCase{"blip beside a zero run", {0, 0, 6, 3, 0}, {}, {}}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

// The plateau case above checks only the position; its height comes from
// the fit over five points and lies above the flat top.
TEST(Pick, PlateauHeightIsAtLeastItsTop) {
  const Peaks out = picked({100, 101, 102, 103, 104, 105, 106}, {0, 1, 4, 4, 4, 1, 0}, PickParams{0.0, 0.0});
  ASSERT_EQ(out.intensity.size(), 1u);
  EXPECT_GE(out.intensity[0], 4.0f);
  EXPECT_TRUE(std::isfinite(out.intensity[0]));
}

// A gap in the sampling (points dropped as zeros) ends a peak: the points on
// either side are two peaks, not one.
TEST(Pick, GapSeparatesPeaks) {
  const std::vector<double> mz = {100, 101, 102, 103, 104, 110, 111, 112, 113};
  const std::vector<float> intensity = {0, 2, 5, 9, 9.5f, 7, 3, 1, 0};
  const Peaks out = picked(mz, intensity, PickParams{0.0, 0.0});
  ASSERT_EQ(out.mz.size(), 2u);
  EXPECT_LT(out.mz[0], 104.0 + 1e-9);
  EXPECT_GT(out.mz[1], 110.0 - 1e-9);
}

// Two overlapping peaks sampled about twice per width, as in a coarse
// time-of-flight scan: each apex comes from its own top three points, not
// from the valley they share.
TEST(Pick, OverlappingPeaksKeepTheValleyOutOfTheFit) {
  std::vector<double> mz;
  for (int i = 0; i < 10; ++i) mz.push_back(100.0 + i);
  const std::vector<float> intensity = {78935, 118589, 132382, 219985, 198800, 197618, 229667, 150173, 146257, 116264};
  const Peaks out = picked(mz, intensity, PickParams{0.0, 0.0});
  ASSERT_EQ(out.mz.size(), 2u);
  EXPECT_NEAR(out.mz[0], 103.33376, 1e-4);
  EXPECT_NEAR(out.mz[1], 105.76132, 1e-4);
}

struct FilterCase {
  PickParams params;
  std::size_t kept;
};

class PickFilters : public ::testing::TestWithParam<FilterCase> {};

// A baseline of ones (noise level 1) with peaks of heights 20, 5 and 1.5.
TEST_P(PickFilters, KeepPeaksAboveBothFloors) {
  std::vector<double> mz;
  std::vector<float> intensity;
  const float tops[] = {20.0f, 5.0f, 1.5f};
  for (int block = 0; block < 3; ++block) {
    for (int k = 0; k < 30; ++k) intensity.push_back(1.0f);
    const float top = tops[block];
    intensity.insert(intensity.end(), {1.0f + (top - 1.0f) / 4, top, 1.0f + (top - 1.0f) / 4});
  }
  for (int k = 0; k < 30; ++k) intensity.push_back(1.0f);
  for (std::size_t i = 0; i < intensity.size(); ++i) mz.push_back(200.0 + 0.01 * static_cast<double>(i));
  EXPECT_FLOAT_EQ(velorium::peaks::noise_level(intensity), 1.0f);
  EXPECT_EQ(picked(mz, intensity, GetParam().params).mz.size(), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(Floors, PickFilters,
                         ::testing::Values(FilterCase{{0.0, 0.0}, 3}, FilterCase{{}, 2}, FilterCase{{0.0, 10.0}, 1},
                                           FilterCase{{6.0, 0.0}, 1}, FilterCase{{0.0, 100.0}, 0}));

struct BadInput {
  const char* name;
  std::vector<double> mz;
  std::vector<float> intensity;
  PickParams params;
  const char* message;
};

class PickRefuses : public ::testing::TestWithParam<BadInput> {};

// Refused with an Error and nothing in the outputs, whatever they held.
TEST_P(PickRefuses, WithAClearError) {
  const BadInput& c = GetParam();
  std::vector<double> mz_out = {1.0, 2.0};
  std::vector<float> intensity_out = {1.0f, 2.0f};
  auto result = pick(c.mz, c.intensity, c.params, mz_out, intensity_out);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().display(), c.message);
  EXPECT_TRUE(mz_out.empty());
  EXPECT_TRUE(intensity_out.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PickRefuses,
    ::testing::Values(
        BadInput{"descending", {1, 3, 2}, {1, 2, 1}, {},
                 "parse error: cannot pick peaks: m/z values must ascend, but value 2 (2) follows 3"},
        BadInput{"repeated", {1, 2, 2}, {1, 2, 1}, {},
                 "parse error: cannot pick peaks: m/z values must ascend, but value 2 (2) follows 2"},
        BadInput{"nan", {1, std::nan(""), 3}, {1, 2, 1}, {}, "parse error: cannot pick peaks: m/z value 1 is NaN"},
        BadInput{"lengths", {1, 2}, {1}, {}, "parse error: cannot pick peaks: 2 m/z values but 1 intensities"},
        BadInput{"snr", {1, 2}, {1, 2}, {0.0, -1.0}, "parse error: min_snr must be finite and not negative, not -1"},
        BadInput{"floor", {1, 2}, {1, 2}, {std::nan(""), 2.0},
                 "parse error: min_intensity must be finite and not negative, not NaN"}),
    [](const auto& info) { return std::string(info.param.name); });

// The noise level is the exact median of the positive values up to 1024
// points, and stays near it beyond, where it comes from an evenly spaced
// sample of the points.
TEST(Pick, NoiseLevelIsTheMedianOfPositiveValues) {
  EXPECT_EQ(velorium::peaks::noise_level({}), 0.0f);
  EXPECT_EQ(velorium::peaks::noise_level(std::vector<float>{0, 0, -1, kNaN}), 0.0f);
  EXPECT_EQ(velorium::peaks::noise_level(std::vector<float>{0, 5, 0, 1, 3, kInf, 0}), 3.0f);
  std::vector<float> many;
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> counts(1, 99);
  for (int i = 0; i < 500000; ++i) many.push_back(static_cast<float>(counts(rng)));
  EXPECT_NEAR(velorium::peaks::noise_level(many), 50.0f, 3.0f);
}

}  // namespace

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "velorium/process/chain.hpp"

namespace {

using namespace velorium::process;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The positions a step keeps, from intensities alone (m/z = position).
template <class Run>
std::vector<double> kept_positions(const std::vector<float>& intensity, Run&& run) {
  std::vector<double> mz(intensity.size());
  for (std::size_t i = 0; i < mz.size(); ++i) mz[i] = static_cast<double>(i);
  std::vector<float> values = intensity;
  const std::size_t kept = run(mz, values);
  mz.resize(kept);
  values.resize(kept);
  for (std::size_t k = 0; k < kept; ++k) {
    const float original = intensity[static_cast<std::size_t>(mz[k])];
    EXPECT_TRUE(values[k] == original || (std::isnan(values[k]) && std::isnan(original)));  // pairs stay together
  }
  return mz;
}

struct Case {
  std::vector<float> intensity;
  std::vector<double> kept;
};

TEST(Process, TrimZerosKeepsNonZeroPointsAndTheirNeighbours) {
  const Case cases[] = {
      {{}, {}},
      {{0}, {}},
      {{5}, {0}},
      {{0, 0, 0}, {}},
      {{0, 0, 3, 0, 0, 0, 4, 4, 0}, {1, 2, 3, 5, 6, 7, 8}},
      {{0, 2, 0, 2, 0}, {0, 1, 2, 3, 4}},  // a zero between two peaks flanks both
      {{7, 0, 0, 0, 0, 8}, {0, 1, 4, 5}},
      {{-0.0f, 0, -1, 0, kNaN, 0, 0}, {1, 2, 3, 4, 5}},  // -0 is zero; negatives and NaN are not
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kept_positions(c.intensity, [](auto& mz, auto& i) { return trim_zeros(mz, i); }), c.kept);
  }
}

TEST(Process, TrimZerosMatchesItsDefinitionOnRandomProfiles) {
  std::mt19937 random(8);
  for (int round = 0; round < 200; ++round) {
    std::vector<float> intensity(random() % 60);
    for (float& v : intensity) v = random() % 4 == 0 ? static_cast<float>(random() % 100) : 0.0f;
    std::vector<double> expected;
    for (std::size_t i = 0; i < intensity.size(); ++i) {
      const auto nonzero = [&](std::size_t j) { return j < intensity.size() && intensity[j] != 0.0f; };
      if (nonzero(i) || (i > 0 && nonzero(i - 1)) || nonzero(i + 1)) expected.push_back(static_cast<double>(i));
    }
    EXPECT_EQ(kept_positions(intensity, [](auto& mz, auto& i) { return trim_zeros(mz, i); }), expected);
  }
}

TEST(Process, AbsoluteThresholdKeepsPointsAtOrAboveIt) {
  const std::vector<float> intensity{1, 5, 4.99f, 5, kNaN, 100, 0};
  EXPECT_EQ(kept_positions(intensity, [](auto& mz, auto& i) { return keep_at_least(mz, i, 5.0); }),
            (std::vector<double>{1, 3, 5}));
  EXPECT_EQ(kept_positions(intensity, [](auto& mz, auto& i) { return keep_at_least(mz, i, 0.0); }),
            (std::vector<double>{0, 1, 2, 3, 5, 6}));
}

TEST(Process, MostIntenseIsDeterministicUnderTiesAndKeepsTheOrder) {
  struct TopCase {
    std::vector<float> intensity;
    std::size_t count;
    std::vector<double> kept;
  };
  const TopCase cases[] = {
      {{3, 9, 1, 9, 9, 2}, 2, {1, 3}},        // ties: the earliest win
      {{3, 9, 1, 9, 9, 2}, 4, {0, 1, 3, 4}},
      {{5, 5, 5}, 1, {0}},
      {{1, kNaN, 2}, 2, {0, 2}},              // NaN is the lowest
      {{1, kNaN, 2}, 3, {0, 1, 2}},
      {{4, 3}, 10, {0, 1}},
      {{}, 3, {}},
  };
  Scratch scratch;
  for (const TopCase& c : cases) {
    EXPECT_EQ(kept_positions(c.intensity,
                             [&](auto& mz, auto& i) { return keep_most_intense(mz, i, c.count, scratch); }),
              c.kept);
  }
  // Against a stable sort by decreasing intensity, on random spectra with many ties.
  std::mt19937 random(2);
  for (int round = 0; round < 200; ++round) {
    std::vector<float> intensity(1 + random() % 80);
    for (float& v : intensity) v = static_cast<float>(random() % 7);
    const std::size_t count = 1 + random() % intensity.size();
    std::vector<std::size_t> order(intensity.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return intensity[a] > intensity[b]; });
    order.resize(count);
    std::sort(order.begin(), order.end());
    const std::vector<double> expected(order.begin(), order.end());
    EXPECT_EQ(kept_positions(intensity, [&](auto& mz, auto& i) { return keep_most_intense(mz, i, count, scratch); }),
              expected);
  }
}

TEST(Process, ChainRunsItsStepsInOrderAndKeepsTheAcquiredSummary) {
  lumora::SpectrumRecord s;
  s.scan_mode = lumora::ScanMode::Profile;
  s.mz = {100, 101, 102, 103, 104, 105, 106};
  s.intensity = {0, 0, 3, 8, 2, 0, 0};
  const lumora::SpectrumRecord acquired = s;
  const Chain chain = chain_of({.trim_zeros = true, .min_intensity = 1.0, .top = 2});
  ASSERT_EQ(chain.steps().size(), 3u);
  Scratch scratch;
  EXPECT_EQ(chain.apply(s, scratch).value(), 0b111u);
  EXPECT_EQ(s.mz, (std::vector<double>{102, 103}));
  EXPECT_EQ(s.intensity, (std::vector<float>{3, 8}));
  EXPECT_EQ(s.effective_tic(), acquired.effective_tic());
  EXPECT_EQ(s.effective_base_peak(), acquired.effective_base_peak());

  lumora::SpectrumRecord untouched = acquired;
  EXPECT_EQ(Chain().apply(untouched, scratch).value(), 0u);
  EXPECT_EQ(untouched, acquired);  // an empty chain changes nothing, not even the summary
}

TEST(Process, OptionsAreValidatedAndDescribed) {
  EXPECT_TRUE(validate({}));
  EXPECT_TRUE(validate({.min_intensity = 0.0, .top = 1}));
  for (const Options& bad : {Options{.min_intensity = -1.0}, Options{.min_intensity = std::nan("")},
                             Options{.min_intensity = HUGE_VAL}, Options{.top = 0}}) {
    EXPECT_FALSE(validate(bad));
  }
  EXPECT_TRUE(chain_of({}).empty());
  const auto threshold = absolute_threshold(250.5)->describe();
  ASSERT_EQ(threshold.size(), 2u);
  EXPECT_EQ(threshold[1].accession, "MS:1000629");
  EXPECT_EQ(threshold[1].value, "250.5");
  EXPECT_EQ(threshold[1].unit_accession, "MS:1000131");
  EXPECT_EQ(most_intense(150)->describe()[1].value, "150");
}

}  // namespace

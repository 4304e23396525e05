// The noise level of the picker is the median (the upper of the two middle
// values) of the positive finite intensities, exactly, on spectra of up to
// 1024 points, whatever their magnitudes and ties.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "velorium/peaks/pick.hpp"

namespace {

float reference_median(const std::vector<float>& intensity) {
  std::vector<float> positive;
  for (const float y : intensity) {
    if (y > 0.0f && std::isfinite(y)) positive.push_back(y);
  }
  if (positive.empty()) return 0.0f;
  std::sort(positive.begin(), positive.end());
  return positive[positive.size() / 2];
}

struct Distribution {
  const char* name;
  float (*draw)(std::mt19937&);
};

TEST(NoiseLevel, IsTheExactMedianOfThePositivePoints) {
  const Distribution distributions[] = {
      {"counts", [](std::mt19937& g) { return static_cast<float>(std::poisson_distribution<int>(2.0)(g)); }},
      {"log-uniform", [](std::mt19937& g) { return std::exp(std::uniform_real_distribution<float>(-80, 80)(g)); }},
      {"nearby floats", [](std::mt19937& g) { return 1000.0f + static_cast<float>(g() % 64) * 6.1e-5f; }},
      {"denormals and specials",
       [](std::mt19937& g) {
         const float specials[] = {std::numeric_limits<float>::denorm_min(), 3e-40f, -1.0f, 0.0f, NAN, INFINITY, 7.0f};
         return specials[g() % 7];
       }},
  };
  std::mt19937 g(11);
  for (const Distribution& d : distributions) {
    for (const std::size_t n : {1u, 2u, 3u, 64u, 1023u, 1024u}) {
      for (int round = 0; round < 20; ++round) {
        std::vector<float> intensity(n);
        for (float& y : intensity) y = d.draw(g);
        ASSERT_EQ(velorium::peaks::noise_level(intensity), reference_median(intensity)) << d.name << ", " << n;
      }
    }
  }
}

}  // namespace

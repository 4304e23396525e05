// The picker's noise level is exactly the median (the upper of the two middle
// values) of the positive finite intensities of a spectrum of up to 1024
// points, whatever their magnitudes and ties.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "velorium/peaks/pick.hpp"

TEST(NoiseLevel, IsTheExactMedianOfThePositivePoints) {
  using Draw = float (*)(std::mt19937&);
  const Draw draws[] = {
      [](std::mt19937& g) { return static_cast<float>(std::poisson_distribution<int>(2.0)(g)); },  // counts
      [](std::mt19937& g) { return std::exp(std::uniform_real_distribution<float>(-80, 80)(g)); },
      [](std::mt19937& g) { return 1000.0f + static_cast<float>(g() % 64) * 6.1e-5f; },  // neighbouring floats
      [](std::mt19937& g) {
        const float specials[] = {std::numeric_limits<float>::denorm_min(), 3e-40f, -1.0f, 0.0f, NAN, INFINITY, 7.0f};
        return specials[g() % 7];
      },
  };
  std::mt19937 g(11);
  for (const Draw draw : draws) {
    for (const std::size_t n : {1u, 2u, 3u, 64u, 1023u, 1024u}) {
      for (int round = 0; round < 20; ++round) {
        std::vector<float> intensity(n), positive;
        for (float& y : intensity) y = draw(g);
        std::copy_if(intensity.begin(), intensity.end(), std::back_inserter(positive),
                     [](float y) { return y > 0.0f && std::isfinite(y); });
        std::sort(positive.begin(), positive.end());
        ASSERT_EQ(velorium::peaks::noise_level(intensity), positive.empty() ? 0.0f : positive[positive.size() / 2])
            << &draw - draws << ", " << n;
      }
    }
  }
}

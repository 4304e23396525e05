// Decoded peak arrays of one block: parallel m/z (f64) and intensity (f32).
#pragma once

#include <vector>

namespace velorium::raw {

struct Peaks {
  std::vector<double> mz;
  std::vector<float> intensity;
};

}  // namespace velorium::raw

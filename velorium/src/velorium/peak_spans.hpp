// Caller memory that a decoder fills with the peaks of one scan.
#pragma once

#include <span>

namespace velorium {

// Both spans exactly as long as the block's point count.
struct PeakSpans {
  std::span<double> mz;
  std::span<float> intensity;
};

}  // namespace velorium

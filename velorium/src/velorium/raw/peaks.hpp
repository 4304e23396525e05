// Decoded peak arrays of one block: parallel m/z (f64) and intensity (f32).
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>


namespace velorium::raw {

struct Peaks {
  std::vector<double> mz;
  std::vector<float> intensity;
};

// Caller memory that a decoder fills with the peaks of one block: both
// spans exactly as long as the block's point count.
struct PeakSpans {
  std::span<double> mz;
  std::span<float> intensity;
};

// A vector of `n` values in which every element is written once: the
// storage is allocated at its final size, and `fill(buffer, first, count)`
// computes elements first to first + count - 1 into a small buffer that
// stays in the cache and is appended. A vector sized up front would be
// zero-filled first and written twice.
inline constexpr std::size_t kBuildChunk = 1024;

template <class T, class Fill>
std::vector<T> build_array(std::size_t n, Fill&& fill) {
  std::vector<T> out;
  out.reserve(n);
  T buffer[kBuildChunk];
  for (std::size_t first = 0; first < n; first += kBuildChunk) {
    const std::size_t count = std::min(kBuildChunk, n - first);
    fill(buffer, first, count);
    out.insert(out.end(), buffer, buffer + count);
  }
  return out;
}

// Both arrays of `n` peaks in one pass, each element written once:
// `fill(mz, intensity, first, count)` computes peaks first to first +
// count - 1.
template <class Fill>
Peaks build_peaks(std::size_t n, Fill&& fill) {
  Peaks peaks;
  peaks.mz.reserve(n);
  peaks.intensity.reserve(n);
  double mz[kBuildChunk];
  float intensity[kBuildChunk];
  for (std::size_t first = 0; first < n; first += kBuildChunk) {
    const std::size_t count = std::min(kBuildChunk, n - first);
    fill(mz, intensity, first, count);
    peaks.mz.insert(peaks.mz.end(), mz, mz + count);
    peaks.intensity.insert(peaks.intensity.end(), intensity, intensity + count);
  }
  return peaks;
}

}  // namespace velorium::raw

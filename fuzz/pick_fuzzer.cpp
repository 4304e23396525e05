// peaks::pick. Input: u8 settings, then (u8 step, f32 intensity) per point.
// The m/z values ascend by (step + 1) thousandths, so wide steps make gaps;
// settings bit 0 swaps two m/z values (refused input), bits 1-3 choose
// min_snr (0 to 7) and bit 4 drops the points of zero intensity as a writer
// of zero-trimmed spectra would. Intensities are any f32 (NaN, infinities,
// negative values).
#include <algorithm>
#include <cmath>
#include <vector>

#include "fuzz_support.hpp"
#include "velorium/peaks/pick.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velorium::fuzz::Input in(data, size);
  const auto settings = in.take<std::uint8_t>();
  std::vector<double> mz;
  std::vector<float> intensity;
  double at = 100.0;
  while (in.remaining() > 0) {
    at += (in.take<std::uint8_t>() + 1) * 1e-3;
    const float value = in.take<float>();
    if ((settings & 16) != 0 && value == 0.0f) continue;
    mz.push_back(at);
    intensity.push_back(value);
  }
  const bool swapped = (settings & 1) != 0 && mz.size() >= 2;
  if (swapped) std::swap(mz[0], mz[1]);
  velorium::peaks::PickParams params;
  params.min_snr = (settings >> 1) & 7;

  std::vector<double> mz_out = {1.0};
  std::vector<float> intensity_out = {1.0f};
  const auto result = velorium::peaks::pick(mz, intensity, params, mz_out, intensity_out);
  if (swapped) {
    VELORIUM_FUZZ_CHECK(!result);
    VELORIUM_FUZZ_CHECK(result.error().is_parse());
  }
  if (!result) {
    VELORIUM_FUZZ_CHECK(mz_out.empty() && intensity_out.empty());
    return 0;
  }
  VELORIUM_FUZZ_CHECK(mz_out.size() == intensity_out.size());
  VELORIUM_FUZZ_CHECK(mz_out.size() <= mz.size() / 2);
  for (std::size_t k = 0; k < mz_out.size(); ++k) {
    VELORIUM_FUZZ_CHECK(mz_out[k] >= mz.front() && mz_out[k] <= mz.back());
    VELORIUM_FUZZ_CHECK(k == 0 || mz_out[k] >= mz_out[k - 1]);
    VELORIUM_FUZZ_CHECK(std::isfinite(intensity_out[k]) && intensity_out[k] > 0.0f);
  }
  return 0;
}

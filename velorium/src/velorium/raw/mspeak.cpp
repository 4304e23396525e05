#include "velorium/raw/mspeak.hpp"

#include <cstddef>
#include <cstring>

#include "velorium/text.hpp"

namespace velorium::raw::mspeak {
namespace {

constexpr std::size_t kBytesPerPeak = 12;

}  // namespace

Result<Peaks> decode_peak_block(ByteSpan block, const msscan::SpectrumParams& params,
                                const calibration::TofCalibration* calibration) {
  const std::uint32_t format = params.format_id;
  if (format != 2 && format != 3) return parse_error(text::cat("Unknown peak format ID: ", format));
  const std::size_t n = params.point_count;
  // Checked before anything is allocated: a corrupt count cannot make the
  // decoder allocate more than the block holds.
  if (block.size() / kBytesPerPeak < n) return parse_error("Truncated MSPeak.bin block");
  if (format == 2 && calibration == nullptr) return parse_error("Q-TOF centroid block has no mass calibration");
  if (n == 0) return Peaks{};

  Peaks peaks;
  peaks.mz.resize(n);
  peaks.intensity.resize(n);
  const std::uint8_t* const base = block.data();
  double* const mz = peaks.mz.data();
  if (format == 3) {
    // Interleaved (m/z f64, intensity f32) records, both taken bit for bit.
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t* record = base + kBytesPerPeak * i;
      std::memcpy(mz + i, record, sizeof(double));
      std::memcpy(peaks.intensity.data() + i, record + sizeof(double), sizeof(float));
    }
  } else {
    // All flight times, then all intensities.
    // The flight times are converted in place.
    std::memcpy(mz, base, sizeof(double) * n);
    calibration->mz_at_times(mz, mz, n);
    std::memcpy(peaks.intensity.data(), base + sizeof(double) * n, sizeof(float) * n);
  }
  return peaks;
}

}  // namespace velorium::raw::mspeak

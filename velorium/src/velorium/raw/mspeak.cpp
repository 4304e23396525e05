#include "velorium/raw/mspeak.hpp"

#include <cstddef>
#include <cstring>

#include "velorium/text.hpp"

namespace velorium::raw::mspeak {
namespace {

constexpr std::size_t kBytesPerPeak = 12;

}  // namespace

Result<Peaks> decode_peak_block(ByteSpan block, const SpectrumParams& params,
                                const calibration::TofCalibration* calibration) {
  const std::uint32_t format = params.format_id;
  if (format != 2 && format != 3) return parse_error(text::cat("Unknown peak format ID: ", format));
  const std::size_t n = params.point_count;
  // Checked before anything is allocated: a corrupt count cannot make the
  // decoder allocate more than the block holds.
  if (block.size() / kBytesPerPeak < n) return parse_error("Truncated MSPeak.bin block");
  if (format == 2 && calibration == nullptr) return parse_error("Q-TOF centroid block has no mass calibration");
  if (n == 0) return Peaks{};

  const std::uint8_t* const base = block.data();
  if (format == 3) {
    // Interleaved (m/z f64, intensity f32) records, both taken bit for bit.
    return build_peaks(n, [base](double* mz, float* intensity, std::size_t first, std::size_t count) {
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* record = base + kBytesPerPeak * (first + i);
        std::memcpy(mz + i, record, sizeof(double));
        std::memcpy(intensity + i, record + sizeof(double), sizeof(float));
      }
    });
  }
  // All flight times, converted to m/z, then all intensities as stored.
  const calibration::TofCalibration& cal = *calibration;
  const std::uint8_t* const intensities = base + sizeof(double) * n;
  return build_peaks(n, [&](double* mz, float* intensity, std::size_t first, std::size_t count) {
    std::memcpy(mz, base + sizeof(double) * first, sizeof(double) * count);
    cal.mz_at_times(mz, mz, count);
    std::memcpy(intensity, intensities + sizeof(float) * first, sizeof(float) * count);
  });
}

}  // namespace velorium::raw::mspeak

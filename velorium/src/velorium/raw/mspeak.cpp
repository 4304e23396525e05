#include "velorium/raw/mspeak.hpp"

#include <cstddef>
#include <cstring>

#include "velorium/text.hpp"

namespace velorium::raw::mspeak {
namespace {

bool known_format(std::uint32_t format) noexcept { return format == 2 || format == 3; }
bool holds_peaks(std::uint64_t bytes, std::uint32_t points) noexcept { return bytes / kBytesPerPeak >= points; }

// The checks made before anything is allocated: a corrupt count cannot make
// the decoder allocate more than the block holds.
Result<void> check_block(ByteSpan block, const SpectrumParams& params,
                         const calibration::TofCalibration* calibration) {
  const std::uint32_t format = params.format_id;
  if (!known_format(format)) return parse_error(text::cat("Unknown peak format ID: ", format));
  if (!holds_peaks(block.size(), params.point_count)) return parse_error("Truncated MSPeak.bin block");
  if (format == 2 && calibration == nullptr) return parse_error("Q-TOF centroid block has no mass calibration");
  return {};
}

}  // namespace

bool descriptor_backs_points(const SpectrumParams& params, bool calibrated) noexcept {
  return known_format(params.format_id) && holds_peaks(params.byte_count, params.point_count) &&
         (params.format_id != 2 || calibrated);
}

Result<Peaks> decode_peak_block(ByteSpan block, const SpectrumParams& params,
                                const calibration::TofCalibration* calibration) {
  VELORIUM_CHECK(check_block(block, params, calibration));
  const std::size_t n = params.point_count;
  if (n == 0) return Peaks{};

  const std::uint8_t* const base = block.data();
  if (params.format_id == 3) {
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

Result<void> decode_peak_block_into(ByteSpan block, const SpectrumParams& params,
                                    const calibration::TofCalibration* calibration, PeakSpans out) {
  VELORIUM_CHECK(check_block(block, params, calibration));
  const std::size_t n = params.point_count;
  if (out.mz.size() != n || out.intensity.size() != n) {
    return parse_error(text::cat("peak block of ", n, " points decoded into room for ", out.mz.size()));
  }
  if (n == 0) return {};
  const std::uint8_t* const base = block.data();
  double* const mz = out.mz.data();
  float* const intensity = out.intensity.data();
  if (params.format_id == 3) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t* record = base + kBytesPerPeak * i;
      std::memcpy(mz + i, record, sizeof(double));
      std::memcpy(intensity + i, record + sizeof(double), sizeof(float));
    }
    return {};
  }
  std::memcpy(mz, base, sizeof(double) * n);
  calibration->mz_at_times(mz, mz, n);
  std::memcpy(intensity, base + sizeof(double) * n, sizeof(float) * n);
  return {};
}

}  // namespace velorium::raw::mspeak

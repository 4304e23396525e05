// The scan index of an acquisition (AcqData/MSScan.bin): one fixed-size
// record per scan in one of five layouts, told apart by the record size.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "velorium/error.hpp"
#include "velorium/raw/bytes.hpp"

namespace velorium::raw::msscan {

// Where a scan's profile block (format 1) or centroid block (format 2 or 3)
// lies in its data file.
struct SpectrumParams {
  std::uint32_t format_id = 0;
  std::uint64_t offset = 0;
  std::uint32_t byte_count = 0;
  std::uint32_t point_count = 0;
  std::optional<std::uint32_t> uncompressed_byte_count;  // profile blocks only

  friend bool operator==(const SpectrumParams&, const SpectrumParams&) = default;
};

// One scan. Optional fields are absent when the layout does not carry them.
struct ScanRecord {
  std::uint32_t scan_id = 0;
  double retention_time_min = 0.0;
  std::uint32_t ms_level = 0;
  std::optional<double> min_x;
  std::optional<double> max_x;
  std::optional<double> tic;
  std::optional<double> base_peak_mz;
  std::optional<double> base_peak_intensity;
  std::optional<std::int32_t> calibration_id;
  std::int32_t ion_polarity = 0;
  std::optional<std::uint32_t> mrm_channel_id;
  std::optional<double> target_mz;
  std::optional<double> collision_energy;
  std::optional<SpectrumParams> profile_params;
  std::optional<SpectrumParams> centroid_params;

  friend bool operator==(const ScanRecord&, const ScanRecord&) = default;
};

inline constexpr std::uint32_t kMagic = 257;
inline constexpr std::size_t kMinFileSize = 92;
inline constexpr std::uint32_t kStrides[] = {284, 220, 216, 196, 186};

// Strides of the time-of-flight layouts, which carry calibration
// identifiers and the recorded TIC and base peak; 196 and 186 are the
// triple-quadrupole layouts.
constexpr bool is_tof_stride(std::uint32_t stride) noexcept {
  return stride == 216 || stride == 220 || stride == 284;
}

struct MSScan {
  std::vector<ScanRecord> records;  // position = scan index
  std::uint32_t global_header_size = 0;
  std::uint32_t stride = 0;

  // Decodes a complete file image. Pure.
  static Result<MSScan> from_bytes(ByteSpan bytes);
  // Reads the whole file once and decodes it.
  static Result<MSScan> from_path(const std::filesystem::path& path);
};

}  // namespace velorium::raw::msscan

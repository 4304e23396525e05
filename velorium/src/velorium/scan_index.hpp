// The scan index of an acquisition as the reader shows it: one record per
// scan, in file order, with where its profile and centroid blocks lie. The
// position of a record in ScanIndex::records is the scan's index everywhere
// in the library.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "lumora/enums.hpp"

namespace velorium {

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

// One scan. Optional fields are absent when the record layout does not
// carry them.
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

  // The retention time in seconds, as records, tables and selections give it.
  double retention_time_sec() const noexcept { return retention_time_min * 60.0; }

  // The polarity that ion_polarity codes (0 positive, 1 negative); absent
  // for any other code.
  std::optional<lumora::Polarity> polarity() const noexcept {
    if (ion_polarity == 0) return lumora::Polarity::Positive;
    if (ion_polarity == 1) return lumora::Polarity::Negative;
    return std::nullopt;
  }

  friend bool operator==(const ScanRecord&, const ScanRecord&) = default;
};

struct ScanIndex {
  std::vector<ScanRecord> records;  // position = scan index
  std::uint32_t global_header_size = 0;
  std::uint32_t stride = 0;  // bytes per record: tells the record layout apart

  friend bool operator==(const ScanIndex&, const ScanIndex&) = default;
};

// Where the mass calibration of a scan comes from.
enum class CalibrationSource : std::uint8_t {
  MassCalRecord,   // the scan's own MSMassCal.bin record
  DefaultMassCal,  // an entry of DefaultMassCal.xml
};

}  // namespace velorium

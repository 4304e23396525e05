// Which scans of an acquisition an operation takes: by MS level, retention
// time, polarity and scan number, decided from the scan index alone (nothing
// is decoded). One selection serves the writers, the command, the
// extracted-ion chromatograms and the Python methods alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "lumora/enums.hpp"
#include "velorium/error.hpp"
#include "velorium/scan_index.hpp"

namespace velorium {

// MS levels from `low` to `high`, both included.
struct LevelRange {
  std::uint32_t low = 0;
  std::uint32_t high = 0;

  bool contains(std::uint32_t level) const noexcept { return low <= level && level <= high; }
  friend bool operator==(const LevelRange&, const LevelRange&) = default;
};

// Every criterion that is set must hold; one left unset takes every scan.
struct ScanSelection {
  // Any of these ranges; unset: every level; empty: no level at all (a
  // level no scan can have, such as a negative one asked from Python).
  std::optional<std::vector<LevelRange>> ms_levels;
  // Retention times in seconds from `first` to `second`, both included.
  std::optional<std::pair<double, double>> rt_range_sec;
  // A scan of unknown polarity matches no polarity.
  std::optional<lumora::Polarity> polarity;
  // Scan numbers from `first` to `second`, both included.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> scan_numbers;

  // The scans of one MS level.
  static ScanSelection level(std::uint32_t ms_level) { return {std::vector<LevelRange>{{ms_level, ms_level}}, {}, {}, {}}; }

  bool matches(std::uint32_t ms_level, double retention_time_sec, std::optional<lumora::Polarity> scan_polarity,
               std::uint32_t scan_number) const noexcept;
  bool matches(const ScanRecord& scan) const noexcept {
    return matches(scan.ms_level, scan.retention_time_sec(), scan.polarity(), scan.scan_id);
  }

  // This selection with every criterion it leaves unset taken from
  // `defaults` (a format's default levels, say).
  ScanSelection or_else(const ScanSelection& defaults) const;

  // A Parse error naming the criterion that can select nothing sensible: a
  // NaN or reversed retention-time range, a reversed level or scan-number
  // range.
  Result<void> validate() const;

  friend bool operator==(const ScanSelection&, const ScanSelection&) = default;
};

// The positions of the selected scans, in scan order.
std::vector<std::size_t> select_scans(const ScanIndex& index, const ScanSelection& selection);

// The text forms the command takes; a Parse error whose message says what is
// wrong. Levels: "2", "1,2", "2-" (2 and above), "1-3", or a comma-separated
// list of these. Ranges of retention time and scan numbers: "LOW,HIGH"
// (seconds: decimal numbers, "inf" allowed; scan numbers: integers).
// Polarity: "positive" or "negative".
Result<std::vector<LevelRange>> parse_ms_levels(std::string_view text);
Result<std::pair<double, double>> parse_rt_range(std::string_view text);
Result<std::pair<std::uint32_t, std::uint32_t>> parse_scan_range(std::string_view text);
Result<lumora::Polarity> parse_polarity(std::string_view text);

}  // namespace velorium

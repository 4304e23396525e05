// The choice of one mass calibration per scan when an acquisition is opened:
// the scan's MSMassCal.bin record (with ValueUseFlags found by matching its
// polynomial values against DefaultMassCal.xml), else the DefaultMassCal.xml
// entry of its calibration identifier, else none. Problems are logged with
// the target velorium::reader, never returned.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "velorium/error.hpp"
#include "velorium/raw/calibration.hpp"
#include "velorium/raw/defaultmasscal.hpp"
#include "velorium/scan_index.hpp"

namespace velorium::raw {

// Element i belongs to scan i; empty for layouts without calibration
// identifiers. An index beyond the end means no calibration.
struct CalibrationList : std::vector<std::optional<calibration::TofCalibration>> {
  using vector::vector;

  // The calibration of scan `index`, or null when it has none.
  const calibration::TofCalibration* at_scan(std::size_t index) const noexcept {
    if (index >= size() || !(*this)[index]) return nullptr;
    return &*(*this)[index];
  }
};

CalibrationList load_calibrations(const std::filesystem::path& acqdata, const ScanIndex& scans,
                                  std::string_view label);

// The ValueUseFlags to use with an MSMassCal.bin record.
Result<std::uint32_t> polynomial_flags(std::span<const double> coefficients, std::optional<std::int32_t> calibration_id,
                                       std::span<const defaultmasscal::DefaultCalibration> defaults);

}  // namespace velorium::raw

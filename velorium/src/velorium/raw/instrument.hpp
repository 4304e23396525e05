// The instrument of a run as a PSI-MS term, and its mass analyzer: from the
// device description when there is one, else from the scan record layout.
#pragma once

#include <optional>

#include "lumora/types.hpp"
#include "velorium/device_info.hpp"
#include "velorium/scan_index.hpp"

namespace velorium::raw {

// The instrument's term from the device model, or from the scan layout when
// there is no device description.
lumora::CvTerm resolve_instrument(const std::optional<DeviceInfo>& device, const ScanIndex& scans) noexcept;

// "tofms" or "tqms" from the device name, or from the scan layout.
lumora::Analyzer resolve_analyzer(const std::optional<DeviceInfo>& device, const ScanIndex& scans) noexcept;

}  // namespace velorium::raw

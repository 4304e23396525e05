#include "velorium/raw/calibrations.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "velorium/log.hpp"
#include "velorium/raw/fileio.hpp"
#include "velorium/raw/msmasscal.hpp"
#include "velorium/raw/msscan.hpp"
#include "velorium/text.hpp"

namespace velorium::raw {
namespace {

using calibration::CalibrationSource;
using calibration::TofCalibration;
using defaultmasscal::DefaultCalibration;
using msmasscal::MassCalRecord;

constexpr std::string_view kUsingDefaults = "; using DefaultMassCal.xml";

// Relative tolerance of the polynomial value match: two zeros match, a NaN
// never does.
bool values_match(double a, double b) noexcept {
  return std::fabs(a - b) <= 1e-12 * std::max(std::fabs(a), std::fabs(b));
}

bool polynomial_matches(std::span<const double> values, const DefaultCalibration& entry) noexcept {
  return std::equal(values.begin(), values.end(), entry.polynomial_values.begin(), entry.polynomial_values.end(),
                    values_match);
}

// The first problem of a kind is a warning, later ones are debug records;
// the message is built only when its level is admitted.
template <class MakeMessage>
void report_scan_problem(std::uint64_t& counter, std::string_view label, std::uint64_t scan_index,
                         MakeMessage&& make_message) {
  const log::Level level = counter == 0 ? log::Level::Warn : log::Level::Debug;
  VELORIUM_LOG(level, log::kReaderTarget, label, ": scan index ", scan_index, ": ", make_message());
  ++counter;
}

std::vector<DefaultCalibration> load_defaults(const std::filesystem::path& path, std::string_view label) {
  if (!raw::exists(path)) {
    VELORIUM_LOG(log::Level::Warn, log::kReaderTarget, label, ": DefaultMassCal.xml not found");
    return {};
  }
  auto text = read_text_file(path);
  if (!text) {
    VELORIUM_LOG(log::Level::Warn, log::kReaderTarget, label, ": ", text.error().display());
    return {};
  }
  auto entries = defaultmasscal::parse_str(*text);
  if (!entries) {
    VELORIUM_LOG(log::Level::Warn, log::kReaderTarget, label, ": ", entries.error().display());
    return {};
  }
  return std::move(*entries);
}

// The records when there is one per scan; nothing otherwise.
std::optional<std::vector<MassCalRecord>> load_records(const std::filesystem::path& path, std::size_t scan_count,
                                                       bool have_defaults, std::string_view label) {
  if (!raw::exists(path)) {
    if (have_defaults) {
      VELORIUM_LOG(log::Level::Info, log::kReaderTarget, label, ": MSMassCal.bin not found", kUsingDefaults);
    }
    return std::nullopt;
  }
  auto bytes = read_file(path);
  Result<std::vector<MassCalRecord>> records =
      bytes ? msmasscal::parse_bytes(*bytes) : fail(std::move(bytes).error());
  if (!records) {
    VELORIUM_LOG(log::Level::Warn, log::kReaderTarget, label, ": MSMassCal.bin: ", records.error().display(),
                 kUsingDefaults);
    return std::nullopt;
  }
  if (records->size() != scan_count) {
    VELORIUM_LOG(log::Level::Warn, log::kReaderTarget, label, ": MSMassCal.bin has ", records->size(),
                 " records but MSScan.bin has ", scan_count, " scans", kUsingDefaults);
    return std::nullopt;
  }
  return std::move(*records);
}

Result<TofCalibration> from_record(const MassCalRecord& record, std::optional<std::int32_t> calibration_id,
                                   std::span<const DefaultCalibration> defaults) {
  VELORIUM_TRY(const std::uint32_t flags, polynomial_flags(record.coefficients, calibration_id, defaults));
  return TofCalibration::from_coefficients(record.coefficients, flags, CalibrationSource::MassCalRecord);
}

Result<TofCalibration> from_defaults(std::optional<std::int32_t> calibration_id,
                                     std::span<const DefaultCalibration> defaults) {
  if (calibration_id) {
    const auto found = std::find_if(defaults.begin(), defaults.end(),
                                    [&](const DefaultCalibration& e) { return e.id == *calibration_id; });
    if (found != defaults.end()) return found->to_tof();
  }
  return parse_error(
      text::cat("no DefaultMassCal.xml entry for CalibrationID ", text::debug_optional(calibration_id)));
}

}  // namespace

Result<std::uint32_t> polynomial_flags(std::span<const double> coefficients, std::optional<std::int32_t> calibration_id,
                                       std::span<const DefaultCalibration> defaults) {
  if (coefficients.size() == 10) {
    const auto c = coefficients.subspan(4);
    if (std::all_of(c.begin(), c.end(), [](double v) { return v == 0.0; })) return 0u;

    const auto values = coefficients.subspan(2);
    if (calibration_id) {
      for (const DefaultCalibration& entry : defaults) {
        if (entry.id == *calibration_id && polynomial_matches(values, entry)) return entry.value_use_flags;
      }
    }
    for (const DefaultCalibration& entry : defaults) {
      if (polynomial_matches(values, entry)) return entry.value_use_flags;
    }
  }
  return parse_error("MSMassCal.bin Polynomial values match no DefaultMassCal.xml entry, so their ValueUseFlags "
                     "are unknown");
}

CalibrationList load_calibrations(const std::filesystem::path& acqdata, const ScanIndex& scans,
                                  std::string_view label) {
  if (!msscan::is_tof_stride(scans.stride)) return {};

  const std::vector<DefaultCalibration> defaults = load_defaults(acqdata / "DefaultMassCal.xml", label);
  const auto records = load_records(acqdata / "MSMassCal.bin", scans.records.size(), !defaults.empty(), label);

  std::uint64_t fallbacks = 0;
  std::uint64_t uncalibrated = 0;
  CalibrationList list;
  list.reserve(scans.records.size());
  for (std::size_t i = 0; i < scans.records.size(); ++i) {
    const std::optional<std::int32_t> calibration_id = scans.records[i].calibration_id;
    if (records) {
      auto calibration = from_record((*records)[i], calibration_id, defaults);
      if (calibration) {
        list.emplace_back(std::move(*calibration));
        continue;
      }
      report_scan_problem(fallbacks, label, i,
                          [&] { return text::cat(calibration.error().display(), kUsingDefaults); });
    }
    auto calibration = from_defaults(calibration_id, defaults);
    if (calibration) {
      list.emplace_back(std::move(*calibration));
      continue;
    }
    report_scan_problem(uncalibrated, label, i,
                        [&] { return text::cat("no calibration: ", calibration.error().display()); });
    list.emplace_back(std::nullopt);
  }

  if (fallbacks != 0) {
    VELORIUM_LOG(log::Level::Warn, log::kReaderTarget, label, ": ", fallbacks, " scans fell back to DefaultMassCal.xml");
  }
  if (uncalibrated != 0) {
    VELORIUM_LOG(log::Level::Warn, log::kReaderTarget, label, ": ", uncalibrated,
                 " scans have no usable mass calibration");
  }
  return list;
}

}  // namespace velorium::raw

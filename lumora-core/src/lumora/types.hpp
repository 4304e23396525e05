// Vendor-neutral records: one spectrum, one chromatogram, the run as a whole,
// and the controlled-vocabulary term that annotates them. Plain values that
// own their strings, arrays and maps.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "lumora/enums.hpp"

namespace lumora {

// Map from text to text, iterated in ascending byte-wise key order
// (std::string compares as unsigned char).
using TextMap = std::map<std::string, std::string>;

// A text that is either a constant of the program, referred to without
// copying, or an owned copy. Copying keeps referring to constant text.
class Text {
 public:
  Text() noexcept : value_(std::string_view{}) {}

  // `text` must have static storage duration.
  static constexpr Text constant(std::string_view text) noexcept { return Text(text); }
  static Text owned(std::string text) { return Text(std::move(text)); }

  std::string_view view() const noexcept {
    if (const auto* constant = std::get_if<std::string_view>(&value_)) return *constant;
    return std::get<std::string>(value_);
  }
  std::string str() const { return std::string(view()); }
  bool is_constant() const noexcept { return std::holds_alternative<std::string_view>(value_); }

  friend bool operator==(const Text& a, const Text& b) noexcept { return a.view() == b.view(); }

 private:
  explicit constexpr Text(std::string_view text) noexcept : value_(text) {}
  explicit Text(std::string text) : value_(std::move(text)) {}

  std::variant<std::string_view, std::string> value_;
};

struct CvTerm {
  Text accession;  // e.g. "MS:1000235"
  Text name;       // e.g. "total ion current chromatogram"

  static constexpr CvTerm constant(std::string_view accession, std::string_view name) noexcept {
    return CvTerm{Text::constant(accession), Text::constant(name)};
  }
  friend bool operator==(const CvTerm&, const CvTerm&) = default;
};

// Precursor description of an MS/MS spectrum.
struct Precursor {
  std::optional<double> target_mz;
  std::optional<double> selected_mz;
  std::optional<double> isolation_width;
  std::optional<std::int32_t> charge;
  std::optional<double> intensity;
  std::optional<double> collision_energy;
  bool ce_is_nce = false;
  std::optional<std::string> precursor_native_id;
  std::optional<Activation> activation;
  std::optional<Analyzer> analyzer;
  std::optional<double> ccs;

  friend bool operator==(const Precursor&, const Precursor&) = default;
};

// One spectrum. `mz` and `intensity` have the same length, and so has
// `inv_mobility_per_peak` when present; producers guarantee it.
struct SpectrumRecord {
  std::uint64_t index = 0;
  std::uint32_t scan_number = 0;
  std::string native_id;
  std::uint32_t ms_level = 0;
  std::optional<Polarity> polarity;
  std::optional<ScanMode> scan_mode;
  std::optional<Analyzer> analyzer;
  std::optional<std::uint32_t> acquisition_event_id;
  std::optional<std::string> filter;
  double retention_time_sec = 0.0;
  std::optional<double> reported_total_ion_current;
  std::optional<double> reported_base_peak_mz;
  std::optional<double> reported_base_peak_intensity;
  std::optional<double> low_mz;
  std::optional<double> high_mz;
  std::optional<double> ion_injection_time_ms;
  std::optional<double> inv_mobility;
  std::optional<double> faims_cv;
  std::optional<Precursor> precursor;
  std::vector<double> mz;
  std::vector<float> intensity;
  std::optional<std::vector<float>> inv_mobility_per_peak;
  TextMap extra;

  // Builder steps: move the given containers in, discarding the old ones.
  SpectrumRecord with_peaks(std::vector<double> mz_values, std::vector<float> intensity_values) && {
    mz = std::move(mz_values);
    intensity = std::move(intensity_values);
    return std::move(*this);
  }
  SpectrumRecord with_extra_map(TextMap map) && {
    extra = std::move(map);
    return std::move(*this);
  }

  // The reported TIC when present (whatever its value), otherwise the sum of
  // the intensities in array order, starting from -0.0.
  double effective_tic() const noexcept;

  // The reported (m/z, intensity) pair when both halves are present,
  // otherwise the most intense peak (earliest on ties; NaN never wins unless
  // it is at index 0), or nothing for an empty intensity array.
  std::optional<std::pair<double, double>> effective_base_peak() const noexcept;

  friend bool operator==(const SpectrumRecord&, const SpectrumRecord&) = default;
};

// effective_tic and effective_base_peak of a record whose peaks are held
// elsewhere (the record's own mz and intensity are not read).
double effective_tic(const SpectrumRecord& record, std::span<const float> intensity) noexcept;
std::optional<std::pair<double, double>> effective_base_peak(const SpectrumRecord& record,
                                                             std::span<const double> mz,
                                                             std::span<const float> intensity) noexcept;

// One chromatogram; `time_sec` and `intensity` have the same length.
struct ChromatogramRecord {
  std::uint64_t index = 0;
  std::string id;
  std::optional<CvTerm> chromatogram_type;
  std::optional<double> precursor_mz;
  std::optional<double> product_mz;
  std::vector<float> time_sec;
  std::vector<float> intensity;

  friend bool operator==(const ChromatogramRecord&, const ChromatogramRecord&) = default;
};

// Facts about the whole run.
struct RunMetadata {
  std::string source_file_name;
  CvTerm source_file_format;
  CvTerm native_id_format;
  CvTerm instrument;
  std::optional<std::string> instrument_serial_number;
  std::string software_name;
  std::string software_version;
  std::optional<std::string> acquisition_software_name;
  std::optional<std::string> acquisition_software_version;
  std::optional<std::string> start_timestamp;
  std::optional<MobilityArrayKind> mobility_array_kind;
  std::vector<Analyzer> analyzers;
  TextMap extra;

  // The six given values; every other field absent or empty.
  static RunMetadata make(std::string source_file_name, CvTerm source_file_format, CvTerm native_id_format,
                          CvTerm instrument, std::string software_name, std::string software_version);

  RunMetadata with_extra_map(TextMap map) && {
    extra = std::move(map);
    return std::move(*this);
  }

  friend bool operator==(const RunMetadata&, const RunMetadata&) = default;
};

}  // namespace lumora

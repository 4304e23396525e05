#include "lumora/types.hpp"

#include <cstddef>
#include <limits>

namespace lumora {

double SpectrumRecord::effective_tic() const noexcept { return lumora::effective_tic(*this, intensity); }

std::optional<std::pair<double, double>> SpectrumRecord::effective_base_peak() const noexcept {
  return lumora::effective_base_peak(*this, mz, intensity);
}

double effective_tic(const SpectrumRecord& record, std::span<const float> intensity) noexcept {
  if (record.reported_total_ion_current) return *record.reported_total_ion_current;
  double sum = -0.0;
  for (const float value : intensity) sum += static_cast<double>(value);
  return sum;
}

std::optional<std::pair<double, double>> effective_base_peak(const SpectrumRecord& record,
                                                             std::span<const double> mz,
                                                             std::span<const float> intensity) noexcept {
  if (record.reported_base_peak_mz && record.reported_base_peak_intensity) {
    return std::pair{*record.reported_base_peak_mz, *record.reported_base_peak_intensity};
  }
  if (intensity.empty()) return std::nullopt;
  std::size_t best = 0;
  float best_value = intensity[0];
  for (std::size_t i = 1; i < intensity.size(); ++i) {
    if (intensity[i] > best_value) {
      best = i;
      best_value = intensity[i];
    }
  }
  // The invariant gives mz the length of intensity; a record that breaks it
  // reports NaN rather than reading past the array.
  const double mz_value = best < mz.size() ? mz[best] : std::numeric_limits<double>::quiet_NaN();
  return std::pair{mz_value, static_cast<double>(best_value)};
}

RunMetadata RunMetadata::make(std::string source_file_name, CvTerm source_file_format, CvTerm native_id_format,
                              CvTerm instrument, std::string software_name, std::string software_version) {
  RunMetadata meta;
  meta.source_file_name = std::move(source_file_name);
  meta.source_file_format = std::move(source_file_format);
  meta.native_id_format = std::move(native_id_format);
  meta.instrument = std::move(instrument);
  meta.software_name = std::move(software_name);
  meta.software_version = std::move(software_version);
  return meta;
}

}  // namespace lumora

#include "velorium/chromatograms.hpp"

#include <optional>
#include <utility>

namespace velorium {
namespace {

constexpr lumora::CvTerm kTicChromatogram = lumora::CvTerm::constant("MS:1000235", "total ion current chromatogram");
constexpr lumora::CvTerm kBpcChromatogram = lumora::CvTerm::constant("MS:1000628", "basepeak chromatogram");

}  // namespace

void ChromatogramBuilder::add(const lumora::SpectrumRecord& record, std::span<const double> mz,
                              std::span<const float> intensity) {
  if (record.ms_level != 1) return;
  const auto base_peak = lumora::effective_base_peak(record, mz, intensity);
  times_.push_back(static_cast<float>(record.retention_time_sec));
  tic_.push_back(static_cast<float>(lumora::effective_tic(record, intensity)));
  bpc_.push_back(base_peak ? static_cast<float>(base_peak->second) : 0.0f);
}

std::vector<lumora::ChromatogramRecord> ChromatogramBuilder::finish() && {
  std::vector<lumora::ChromatogramRecord> items;
  if (times_.empty()) return items;
  items.reserve(2);
  items.push_back({0, "TIC", kTicChromatogram, std::nullopt, std::nullopt, times_, std::move(tic_)});
  items.push_back({1, "BPC", kBpcChromatogram, std::nullopt, std::nullopt, std::move(times_), std::move(bpc_)});
  return items;
}

}  // namespace velorium

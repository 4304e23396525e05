// The total-ion-current and base-peak chromatograms of a run, accumulated
// from its spectra in scan order.
#pragma once

#include <span>
#include <vector>

#include "lumora/types.hpp"

namespace velorium {

class ChromatogramBuilder {
 public:
  // Takes one spectrum (its record and its peaks, which may be held outside
  // the record); only MS1 spectra contribute: the retention time, the
  // effective TIC and the intensity of the effective base peak (0.0 without
  // one), each rounded to 32 bits.
  void add(const lumora::SpectrumRecord& record, std::span<const double> mz, std::span<const float> intensity);
  void add(const lumora::SpectrumRecord& record) { add(record, record.mz, record.intensity); }

  // No chromatogram when no MS1 spectrum was added, otherwise "TIC" (index
  // 0) and "BPC" (index 1).
  std::vector<lumora::ChromatogramRecord> finish() &&;

 private:
  std::vector<float> times_;
  std::vector<float> tic_;
  std::vector<float> bpc_;
};

}  // namespace velorium

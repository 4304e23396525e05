// Fixed mass calibrations for the block decoders: a plain square law and one
// with a polynomial correction over a finite range.
#pragma once

#include <array>

#include "fuzz_support.hpp"
#include "velorium/raw/calibration.hpp"

namespace velorium::fuzz {

inline const raw::calibration::TofCalibration& calibration(unsigned which) {
  using raw::calibration::CalibrationSource;
  using raw::calibration::TofCalibration;
  static const std::array<TofCalibration, 2> calibrations = [] {
    const std::array<double, 10> plain{3.5e-4, 0.12, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::array<double, 10> corrected{3.5e-4, 0.12, 2000.0, 90000.0, 1e-3, -2e-8, 3e-13, 0, 0, 0};
    auto a = TofCalibration::from_coefficients(plain, 0, CalibrationSource::MassCalRecord);
    auto b = TofCalibration::from_coefficients(corrected, 0b10011, CalibrationSource::DefaultMassCal);
    if (!a || !b) fail("the fixed calibrations must be valid");
    return std::array<TofCalibration, 2>{*a, *b};
  }();
  return calibrations[which & 1];
}

}  // namespace velorium::fuzz

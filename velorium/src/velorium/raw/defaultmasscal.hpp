// DefaultMassCal.xml: the default calibration of every calibration
// identifier of an acquisition.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velorium/error.hpp"
#include "velorium/raw/calibration.hpp"

namespace velorium::raw::defaultmasscal {

// One parsed <Step>.
struct Step {
  std::string formula;
  std::vector<double> values;  // exactly NumberOfCoefficients, ordered by Number
  std::uint32_t value_use_flags = 0;
};

struct DefaultCalibration {
  std::int32_t id = 0;
  std::array<double, 2> traditional{};        // A, T0
  std::array<double, 8> polynomial_values{};  // range low, range high, c1..c6
  std::uint32_t value_use_flags = 0;          // of the Polynomial step

  // TofCalibration::from_coefficients of A, T0 and the eight polynomial
  // values, with CalibrationSource::DefaultMassCal.
  Result<calibration::TofCalibration> to_tof() const;
};

// Every DefaultCalibration entry in document order (never empty), or a
// Parse error whose message starts with "DefaultMassCal.xml: ". Pure.
Result<std::vector<DefaultCalibration>> parse_str(std::string_view text);

}  // namespace velorium::raw::defaultmasscal

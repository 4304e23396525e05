// MSMassCal.bin: one calibration record per scan, in scan order.
#pragma once

#include <vector>

#include "velorium/error.hpp"
#include "velorium/raw/bytes.hpp"

namespace velorium::raw::msmasscal {

struct MassCalRecord {
  std::vector<double> coefficients;  // 0 to 10 values, as stored
};

// The records of a complete file image. Pure.
Result<std::vector<MassCalRecord>> parse_bytes(ByteSpan bytes);

}  // namespace velorium::raw::msmasscal

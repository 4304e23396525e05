// Centroid blocks of MSPeak.bin: format 2 (flight times and intensities in
// two arrays) and format 3 (interleaved m/z and intensity).
#pragma once

#include "velorium/error.hpp"
#include "velorium/raw/bytes.hpp"
#include "velorium/raw/calibration.hpp"
#include "velorium/scan_index.hpp"
#include "velorium/raw/peaks.hpp"

namespace velorium::raw::mspeak {

// `calibration` may be null; format 2 needs one.
Result<Peaks> decode_peak_block(ByteSpan block, const SpectrumParams& params,
                                const calibration::TofCalibration* calibration);

}  // namespace velorium::raw::mspeak

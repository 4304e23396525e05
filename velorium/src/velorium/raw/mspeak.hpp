// Centroid blocks of MSPeak.bin: format 2 (flight times and intensities in
// two arrays) and format 3 (interleaved m/z and intensity).
#pragma once

#include "velorium/error.hpp"
#include "velorium/raw/bytes.hpp"
#include "velorium/raw/calibration.hpp"
#include "velorium/raw/msscan.hpp"
#include "velorium/raw/peaks.hpp"

namespace velorium::raw::mspeak {

// `calibration` may be null; format 2 needs one.
Result<Peaks> decode_peak_block(ByteSpan block, const msscan::SpectrumParams& params,
                                const calibration::TofCalibration* calibration);

// decode_peak_block into `out`, whose spans hold exactly the block's point
// count: the same checks in the same order, the same values bit for bit.
Result<void> decode_peak_block_into(ByteSpan block, const msscan::SpectrumParams& params,
                                    const calibration::TofCalibration* calibration, PeakSpans out);

}  // namespace velorium::raw::mspeak

// Centroid blocks of MSPeak.bin: format 2 (flight times and intensities in
// two arrays) and format 3 (interleaved m/z and intensity).
#pragma once

#include "velorium/error.hpp"
#include "velorium/raw/bytes.hpp"
#include "velorium/raw/calibration.hpp"
#include "velorium/scan_index.hpp"
#include "velorium/raw/peaks.hpp"

namespace velorium::raw::mspeak {

// Bytes of one peak in either format: an f64 flight time or m/z and an f32
// intensity.
inline constexpr std::uint64_t kBytesPerPeak = 12;

// True when a block with this descriptor, read whole, passes the checks
// that come before a point is written: a known format, `byte_count` bytes
// that hold every peak, and a calibration where format 2 needs one.
bool descriptor_backs_points(const SpectrumParams& params, bool calibrated) noexcept;

// `calibration` may be null; format 2 needs one.
Result<Peaks> decode_peak_block(ByteSpan block, const SpectrumParams& params,
                                const calibration::TofCalibration* calibration);

// decode_peak_block into `out`, whose spans hold exactly the block's point
// count: the same checks in the same order, the same values bit for bit.
Result<void> decode_peak_block_into(ByteSpan block, const SpectrumParams& params,
                                    const calibration::TofCalibration* calibration, PeakSpans out);

}  // namespace velorium::raw::mspeak

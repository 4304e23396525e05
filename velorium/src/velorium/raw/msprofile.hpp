// Profile blocks of MSProfile.bin: LZF-compressed or run-length-encoded
// intensities on a regular flight-time axis.
#pragma once

#include <cstdint>
#include <vector>

#include "velorium/error.hpp"
#include "velorium/raw/bytes.hpp"
#include "velorium/raw/calibration.hpp"
#include "velorium/raw/msscan.hpp"
#include "velorium/raw/peaks.hpp"

namespace velorium::raw::msprofile {

inline constexpr std::uint32_t kRunLengthMarker = 0x9002FF00;
inline constexpr std::uint32_t kMaxRunLengthPoints = 134217728;

// m/z and intensity of every point of the block.
Result<Peaks> decode_profile_block(ByteSpan block, const msscan::SpectrumParams& params,
                                   const calibration::TofCalibration& calibration);

// decode_profile_block into `out`, whose spans hold exactly the block's
// point count (none when it is 0): the same checks in the same order, the
// same values bit for bit. `scratch` holds the decompressed bytes. On
// failure the contents of `out` are unspecified.
Result<void> decode_profile_block_into(ByteSpan block, const msscan::SpectrumParams& params,
                                       const calibration::TofCalibration& calibration, PeakSpans out,
                                       ScratchBuffer& scratch);

// One intensity per point from a run-length stream (the block from offset
// 16 on: marker, start field, words).
Result<std::vector<std::int64_t>> decode_run_length(ByteSpan stream, std::uint32_t point_count);

}  // namespace velorium::raw::msprofile

// Profile blocks of MSProfile.bin: LZF-compressed or run-length-encoded
// intensities on a regular flight-time axis.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "velorium/error.hpp"
#include "velorium/raw/bytes.hpp"
#include "velorium/raw/calibration.hpp"
#include "velorium/scan_index.hpp"
#include "velorium/raw/peaks.hpp"

namespace velorium::raw::msprofile {

inline constexpr std::uint32_t kRunLengthMarker = 0x9002FF00;
inline constexpr std::uint32_t kMaxRunLengthPoints = 134217728;

// The decoded bytes of a block: an axis header (x0 and dx, f64 each), then
// one i32 intensity per point.
inline constexpr std::uint64_t kAxisHeaderBytes = 16;
inline constexpr std::uint64_t kBytesPerPoint = 4;

// True when a block with this descriptor passes the checks that come before
// its bytes are looked at: an UncompressedByteCount that holds the axis
// header and every point, and a point count within the size caps of both
// encodings. Decoding a block that fails them writes no point.
bool descriptor_backs_points(const SpectrumParams& params) noexcept;

// m/z and intensity of every point of the block.
Result<Peaks> decode_profile_block(ByteSpan block, const SpectrumParams& params,
                                   const calibration::TofCalibration& calibration);

// The m/z axes of the last few profile blocks decoded through it: the axis
// of a block whose calibration, x0, dx and point count are bit for bit those
// of a remembered one is copied instead of computed (the same values, as
// the axis depends on nothing else). One per thread.
class AxisCache {
 public:
  static constexpr std::size_t kEntries = 2;
  static constexpr std::size_t kMaxPoints = std::size_t{1} << 20;  // larger axes are computed every time

  // mz_at_axis(x0, dx, 0, out.data(), out.size()) of `calibration`.
  void fill(const calibration::TofCalibration& calibration, double x0, double dx, std::span<double> out);
  std::size_t hits() const noexcept { return hits_; }

 private:
  struct Entry {
    std::vector<std::uint64_t> key;
    std::vector<double> axis;
  };
  std::array<Entry, kEntries> entries_;
  std::size_t next_ = 0;
  std::size_t hits_ = 0;
};

// decode_profile_block into `out`, whose spans hold exactly the block's
// point count (none when it is 0): the same checks in the same order, the
// same values bit for bit. `scratch` holds the decompressed bytes; `axes`,
// when given, remembers recent m/z axes. On failure the contents of `out`
// are unspecified.
Result<void> decode_profile_block_into(ByteSpan block, const SpectrumParams& params,
                                       const calibration::TofCalibration& calibration, PeakSpans out,
                                       ScratchBuffer& scratch, AxisCache* axes = nullptr);

// One intensity per point from a run-length stream (the block from offset
// 16 on: marker, start field, words).
Result<std::vector<std::int64_t>> decode_run_length(ByteSpan stream, std::uint32_t point_count);

}  // namespace velorium::raw::msprofile

// msprofile::decode_profile_block with fuzzed parameters.
//
// Input: u32 point_count, u32 uncompressed_byte_count, one flag byte (bit 0:
// no uncompressed_byte_count, bit 1: the calibration with a polynomial),
// then the block. Claims are kept within what a fuzzer process may
// allocate: a point count at or below the run-length cap of 2^27 is reduced
// to its low 20 bits, and an uncompressed byte count at or below the LZF cap
// of 512 MiB to its low 24 bits (larger values still reach the decoder and
// must fail on the caps). At the caps themselves the decoder would need
// 1.5 GiB (2^27 f32 intensities and f64 m/z values), above libFuzzer's
// -malloc_limit_mb=1024.
#include <cmath>
#include <cstring>

#include "calibrations.hpp"
#include "velorium/raw/lzf.hpp"
#include "velorium/raw/msprofile.hpp"

namespace msprofile = velorium::raw::msprofile;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velorium::fuzz::Input in(data, size);
  std::uint32_t point_count = in.take<std::uint32_t>();
  std::uint32_t uncompressed = in.take<std::uint32_t>();
  const auto flags = in.take<std::uint8_t>();
  const auto block = in.rest();

  if (point_count <= msprofile::kMaxRunLengthPoints) point_count &= 0xFFFFF;
  if (uncompressed <= velorium::raw::lzf::kMaxDecompressedLength) uncompressed &= 0xFFFFFF;

  velorium::SpectrumParams params;
  params.format_id = 1;
  params.byte_count = static_cast<std::uint32_t>(block.size());
  params.point_count = point_count;
  if ((flags & 1) == 0) params.uncompressed_byte_count = uncompressed;
  const auto& cal = velorium::fuzz::calibration(flags >> 1);

  const auto peaks = msprofile::decode_profile_block(block, params, cal);
  if (!peaks) {
    VELORIUM_FUZZ_CHECK(peaks.error().is_parse());
    return 0;
  }
  VELORIUM_FUZZ_CHECK(peaks->mz.size() == point_count);
  VELORIUM_FUZZ_CHECK(peaks->intensity.size() == point_count);
  VELORIUM_FUZZ_CHECK(params.uncompressed_byte_count.has_value());
  if (point_count == 0) return 0;

  // A run-length block must give what decode_run_length gives, rounded to f32.
  double x0 = 0, dx = 0;
  std::uint32_t marker = 0;
  if (block.size() >= 20) {
    std::memcpy(&x0, block.data(), 8);
    std::memcpy(&dx, block.data() + 8, 8);
    std::memcpy(&marker, block.data() + 16, 4);
  }
  if (marker == msprofile::kRunLengthMarker && std::isfinite(x0) && std::isfinite(dx) && dx > 0 && x0 > 0) {
    const auto values = msprofile::decode_run_length(block.subspan(16), point_count);
    VELORIUM_FUZZ_CHECK(values && values->size() == point_count);
    for (std::size_t i = 0; i < point_count; ++i) {
      const float want = static_cast<float>((*values)[i]);
      VELORIUM_FUZZ_CHECK(std::memcmp(&peaks->intensity[i], &want, sizeof want) == 0);
    }
  }
  return 0;
}

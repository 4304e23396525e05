// mspeak::decode_peak_block, formats 2 and 3, with and without calibration.
// Input: one byte for the format id (2 and 3 mostly, any other value as
// given), one flag byte (bit 0: pass a calibration, bit 1: which one), u32
// point_count, then the block. No clamp is needed: the block length is
// checked before anything is allocated.
#include <cstring>

#include "calibrations.hpp"
#include "velorium/raw/mspeak.hpp"

namespace mspeak = velorium::raw::mspeak;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velorium::fuzz::Input in(data, size);
  const auto format = in.take<std::uint8_t>();
  const auto flags = in.take<std::uint8_t>();
  velorium::SpectrumParams params;
  params.format_id = format < 0x80 ? 2 + (format & 1) : format - 0x80;
  params.point_count = in.take<std::uint32_t>();
  const auto block = in.rest();
  params.byte_count = static_cast<std::uint32_t>(block.size());
  const auto* cal = (flags & 1) != 0 ? &velorium::fuzz::calibration(flags >> 1) : nullptr;

  const auto peaks = mspeak::decode_peak_block(block, params, cal);
  if (!peaks) {
    VELORIUM_FUZZ_CHECK(peaks.error().is_parse());
    return 0;
  }
  VELORIUM_FUZZ_CHECK(params.format_id == 2 || params.format_id == 3);
  VELORIUM_FUZZ_CHECK(params.format_id == 3 || cal != nullptr);
  VELORIUM_FUZZ_CHECK(peaks->mz.size() == params.point_count);
  VELORIUM_FUZZ_CHECK(peaks->intensity.size() == params.point_count);
  VELORIUM_FUZZ_CHECK(block.size() / 12 >= params.point_count);
  if (params.format_id == 3 && params.point_count != 0) {
    // m/z values need no calibration: the result is the same bit for bit
    // with the other choice.
    const auto* other = cal == nullptr ? &velorium::fuzz::calibration(0) : nullptr;
    const auto again = mspeak::decode_peak_block(block, params, other);
    VELORIUM_FUZZ_CHECK(again.has_value());
    VELORIUM_FUZZ_CHECK(std::memcmp(again->mz.data(), peaks->mz.data(), 8 * peaks->mz.size()) == 0);
    VELORIUM_FUZZ_CHECK(std::memcmp(again->intensity.data(), peaks->intensity.data(), 4 * peaks->intensity.size()) ==
                        0);
  }
  return 0;
}

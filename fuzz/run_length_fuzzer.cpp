// msprofile::decode_run_length. Input: u32 point_count, then the stream.
// A point count at or below the cap of 2^27 is reduced to its low 20 bits
// (the cap itself would allocate 1 GiB of intensities); larger counts reach
// the decoder unchanged and must fail on the cap.
#include <string_view>

#include "fuzz_support.hpp"
#include "velorium/raw/msprofile.hpp"

namespace msprofile = velorium::raw::msprofile;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velorium::fuzz::Input in(data, size);
  std::uint32_t point_count = in.take<std::uint32_t>();
  const bool over_cap = point_count > msprofile::kMaxRunLengthPoints;
  if (!over_cap) point_count &= 0xFFFFF;

  const auto values = msprofile::decode_run_length(in.rest(), point_count);
  if (over_cap) {
    VELORIUM_FUZZ_CHECK(!values);
    VELORIUM_FUZZ_CHECK(std::string_view(values.error().as_parse()->message).ends_with(" points exceeds the size cap"));
    return 0;
  }
  if (!values) {
    VELORIUM_FUZZ_CHECK(values.error().is_parse());
    return 0;
  }
  VELORIUM_FUZZ_CHECK(values->size() == point_count);
  for (const std::int64_t v : *values) VELORIUM_FUZZ_CHECK(v >= 0);  // control words never land in the output
  return 0;
}

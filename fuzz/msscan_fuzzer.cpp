// velorium::raw::msscan::from_bytes over any file image.
#include <algorithm>
#include <iterator>

#include "fuzz_support.hpp"
#include "velorium/raw/msscan.hpp"

using velorium::ScanIndex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto decoded = velorium::raw::msscan::from_bytes({data, size});
  if (!decoded) {
    VELORIUM_FUZZ_CHECK(decoded.error().is_parse());
    return 0;
  }
  // The records fill the payload exactly, in one of the known strides.
  const ScanIndex& scan = *decoded;
  const auto& strides = velorium::raw::msscan::kStrides;
  VELORIUM_FUZZ_CHECK(std::find(std::begin(strides), std::end(strides), scan.stride) != std::end(strides));
  VELORIUM_FUZZ_CHECK(scan.global_header_size <= size);
  const std::size_t payload = size - scan.global_header_size;
  VELORIUM_FUZZ_CHECK(payload % scan.stride == 0);
  VELORIUM_FUZZ_CHECK(scan.records.size() == payload / scan.stride);
  VELORIUM_FUZZ_CHECK(!scan.records.empty());
  for (const auto& r : scan.records) {
    if (r.profile_params) {
      VELORIUM_FUZZ_CHECK(r.profile_params->format_id == 1);
      VELORIUM_FUZZ_CHECK(r.profile_params->uncompressed_byte_count.has_value());
    }
    if (r.centroid_params) {
      VELORIUM_FUZZ_CHECK(r.centroid_params->format_id == 2 || r.centroid_params->format_id == 3);
      VELORIUM_FUZZ_CHECK(!r.centroid_params->uncompressed_byte_count.has_value());
    }
    VELORIUM_FUZZ_CHECK(r.ms_level <= 0xFFFF);
    if (r.ms_level < 2) VELORIUM_FUZZ_CHECK(!r.target_mz && !r.collision_energy);
  }
  return 0;
}

// msmasscal::parse_bytes over any file image.
#include "fuzz_support.hpp"
#include "velorium/raw/msmasscal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto records = velorium::raw::msmasscal::parse_bytes({data, size});
  if (!records) {
    VELORIUM_FUZZ_CHECK(records.error().is_parse());
    return 0;
  }
  VELORIUM_FUZZ_CHECK(size >= 72 && (size - 72) % 84 == 0);
  VELORIUM_FUZZ_CHECK(records->size() == (size - 72) / 84);
  for (const auto& r : *records) VELORIUM_FUZZ_CHECK(r.coefficients.size() <= 10);
  return 0;
}

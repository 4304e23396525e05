// defaultmasscal::parse_str over any text, then to_tof of every entry and a
// few conversions with each calibration that builds.
#include <string_view>
#include <unordered_set>

#include "fuzz_support.hpp"
#include "velorium/raw/defaultmasscal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto entries = velorium::raw::defaultmasscal::parse_str(text);
  if (!entries) {
    VELORIUM_FUZZ_CHECK(entries.error().is_parse());
    VELORIUM_FUZZ_CHECK(std::string_view(entries.error().as_parse()->message).starts_with("DefaultMassCal.xml: "));
    return 0;
  }
  VELORIUM_FUZZ_CHECK(!entries->empty());
  std::unordered_set<std::int32_t> ids;
  for (const auto& entry : *entries) {
    VELORIUM_FUZZ_CHECK(ids.insert(entry.id).second);
    const auto cal = entry.to_tof();
    if (!cal) {
      VELORIUM_FUZZ_CHECK(cal.error().is_parse());
      continue;
    }
    VELORIUM_FUZZ_CHECK(cal->polynomial.terms().size() <= 6);
    volatile double sink = 0;
    for (const double t : {0.0, 1.0, 1234.5, -7.0, 1e300}) sink = sink + cal->mz_at(t);
  }
  return 0;
}

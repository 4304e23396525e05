// metadata::parse_acquired_time over any file content, with logging on.
#include "fuzz_support.hpp"
#include "velorium/raw/metadata.hpp"
#include "velorium/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velorium::fuzz::enable_logging();
  static const auto path = velorium::fuzz::scratch_dir() / "Contents.xml";
  velorium::fuzz::write_file(path, {data, size});
  const auto time = velorium::raw::metadata::parse_acquired_time(path);
  if (time) {
    VELORIUM_FUZZ_CHECK(!time->empty());
    VELORIUM_FUZZ_CHECK(velorium::text::trim(*time) == *time);
  }
  return 0;
}

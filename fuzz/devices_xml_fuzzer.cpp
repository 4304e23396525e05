// metadata::parse_devices_xml over any file content, with logging on.
#include "fuzz_support.hpp"
#include "velorium/raw/metadata.hpp"
#include "velorium/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velorium::fuzz::enable_logging();
  static const auto path = velorium::fuzz::scratch_dir() / "Devices.xml";
  velorium::fuzz::write_file(path, {data, size});
  const auto device = velorium::raw::metadata::parse_devices_xml(path);
  if (device) {
    VELORIUM_FUZZ_CHECK(!device->name.empty() && !device->model.empty());
    VELORIUM_FUZZ_CHECK(velorium::text::trim(device->name) == device->name);
    VELORIUM_FUZZ_CHECK(velorium::text::trim(device->model) == device->model);
  }
  return 0;
}

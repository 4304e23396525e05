// A whole acquisition: the input is split into the files of an AcqData
// folder (acquisition.hpp), written to this process's scratch folder, opened
// with Reader::open, and every spectrum, the chromatograms and the run
// metadata are decoded, with logging on. write_acquisition_folder clamps
// the size claims of the profile descriptors first (acquisition.hpp).
#include <cstdio>
#include <cstdlib>

#include "acquisition.hpp"
#include "velorium/reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velorium::fuzz::enable_logging();
  const auto root = velorium::fuzz::write_acquisition_folder(data, size);

  auto reader = velorium::Reader::open(root);
  if (!reader) {
    VELORIUM_FUZZ_CHECK(reader.error().is_parse() || reader.error().is_io());
    return 0;
  }
  const std::size_t scans = reader->msscan().records.size();
  VELORIUM_FUZZ_CHECK(reader->calibrations().size() == 0 || reader->calibrations().size() == scans);

  std::size_t count = 0;
  std::size_t failures = 0;
  auto spectra = reader->iter_spectra();
  while (auto item = spectra->next()) {
    if (*item) {
      const auto& s = **item;
      VELORIUM_FUZZ_CHECK(s.index == count);
      VELORIUM_FUZZ_CHECK(s.mz.size() == s.intensity.size());
    } else {
      ++failures;
    }
    ++count;
  }
  VELORIUM_FUZZ_CHECK(count == scans);
  VELORIUM_FUZZ_CHECK(reader->profile_failures() + reader->centroid_failures() == failures);

  auto chromatograms = reader->iter_chromatograms();
  while (auto item = chromatograms->next()) {
    if (*item) VELORIUM_FUZZ_CHECK((*item)->time_sec.size() == (*item)->intensity.size());
  }
  const auto meta = reader->run_metadata();
  (void)meta;
  if (std::getenv("VELORIUM_FUZZ_VERBOSE") != nullptr) {
    std::fprintf(stderr, "stride %u: %zu scans, %zu failed spectra\n", reader->msscan().stride, scans, failures);
  }
  return 0;
}

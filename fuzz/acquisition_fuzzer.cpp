// A whole acquisition: the input is split into the files of an AcqData
// folder (acquisition.hpp), written to this process's scratch folder, opened
// with Reader::open, and every spectrum, the chromatograms and the run
// metadata are decoded, with logging on. The whole run is then decoded again
// into a columnar store, on one thread and on several, under both block
// preferences: each must give the spectra of the scan-by-scan decoding bit
// for bit, or fail at its first failing scan with the same error.
// write_acquisition_folder clamps the size claims of the profile
// descriptors first (acquisition.hpp).
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "acquisition.hpp"
#include "velorium/internal/decoding.hpp"
#include "velorium/reader.hpp"
#include "velorium/store/peak_store.hpp"

namespace {

template <class T>
bool same_bits(std::span<const T> a, std::span<const T> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// Records equal field by field, floating-point fields bit for bit (a NaN
// collision energy equals itself).
bool same_record(lumora::SpectrumRecord a, lumora::SpectrumRecord b) {
  bool same = true;
  const auto take = [&](std::optional<double>& x, std::optional<double>& y) {
    same = same && x.has_value() == y.has_value() &&
           (!x || std::bit_cast<std::uint64_t>(*x) == std::bit_cast<std::uint64_t>(*y));
    x.reset();
    y.reset();
  };
  std::optional<double> rt_a = a.retention_time_sec, rt_b = b.retention_time_sec;
  take(rt_a, rt_b);
  a.retention_time_sec = b.retention_time_sec = 0.0;
  take(a.reported_total_ion_current, b.reported_total_ion_current);
  take(a.reported_base_peak_mz, b.reported_base_peak_mz);
  take(a.reported_base_peak_intensity, b.reported_base_peak_intensity);
  take(a.low_mz, b.low_mz);
  take(a.high_mz, b.high_mz);
  take(a.ion_injection_time_ms, b.ion_injection_time_ms);
  take(a.inv_mobility, b.inv_mobility);
  take(a.faims_cv, b.faims_cv);
  if (a.precursor && b.precursor) {
    take(a.precursor->target_mz, b.precursor->target_mz);
    take(a.precursor->selected_mz, b.precursor->selected_mz);
    take(a.precursor->isolation_width, b.precursor->isolation_width);
    take(a.precursor->intensity, b.precursor->intensity);
    take(a.precursor->collision_energy, b.precursor->collision_energy);
    take(a.precursor->ccs, b.precursor->ccs);
  }
  return same && a == b;
}

// The store of every scan against the scan-by-scan decoding (unreported).
void check_store(const velorium::Reader& reader, velorium::BlockPreference prefer) {
  std::vector<std::size_t> all(reader.scan_count());
  std::iota(all.begin(), all.end(), std::size_t{0});
  std::optional<std::size_t> first_failure;
  std::string first_error;
  for (std::size_t i = 0; i < all.size() && !first_failure; ++i) {
    auto one = velorium::internal::decode_spectrum(reader, i, prefer);
    if (!one) {
      first_failure = i;
      first_error = one.error().display();
    }
  }
  for (const unsigned threads : {1u, 3u}) {
    const std::uint64_t reported = reader.profile_failures() + reader.centroid_failures();
    auto store = velorium::store::build_store(reader, all, prefer, threads);
    if (first_failure) {
      // The first failing scan's error, reported once.
      VELORIUM_FUZZ_CHECK(!store);
      VELORIUM_FUZZ_CHECK(store.error().display() == first_error);
      VELORIUM_FUZZ_CHECK(reader.profile_failures() + reader.centroid_failures() == reported + 1);
      continue;
    }
    VELORIUM_FUZZ_CHECK(store.has_value());
    const auto& s = **store;
    VELORIUM_FUZZ_CHECK(s.size() == all.size() && s.offsets().size() == all.size() + 1);
    for (std::size_t i = 0; i < all.size(); ++i) {
      auto one = velorium::internal::decode_spectrum(reader, i, prefer);
      VELORIUM_FUZZ_CHECK(one.has_value());
      VELORIUM_FUZZ_CHECK(same_bits<double>(s.mz(i), one->mz));
      VELORIUM_FUZZ_CHECK(same_bits<float>(s.intensity(i), one->intensity));
      VELORIUM_FUZZ_CHECK(same_record(s.record(i), std::move(*one).with_peaks({}, {})));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velorium::fuzz::enable_logging();
  const auto root = velorium::fuzz::write_acquisition_folder(data, size);

  auto reader = velorium::Reader::open(root);
  if (!reader) {
    VELORIUM_FUZZ_CHECK(reader.error().is_parse() || reader.error().is_io());
    return 0;
  }
  const std::size_t scans = reader->scan_index().records.size();
  if (!velorium::raw::msscan::is_tof_stride(reader->scan_index().stride)) {
    for (std::size_t i = 0; i < scans; ++i) VELORIUM_FUZZ_CHECK(!reader->calibration_source(i));
  }

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
  check_store(*reader, velorium::BlockPreference::Profile);
  check_store(*reader, velorium::BlockPreference::Centroid);
  if (std::getenv("VELORIUM_FUZZ_VERBOSE") != nullptr) {
    std::fprintf(stderr, "stride %u: %zu scans, %zu failed spectra\n", reader->scan_index().stride, scans, failures);
  }
  return 0;
}

// A whole acquisition: the input is split into the files of an AcqData
// folder (acquisition.hpp), written to this process's scratch folder, opened
// with Reader::open, and every spectrum, the chromatograms and the run
// metadata are decoded, with logging on. The whole run is then decoded again
// into a columnar store, on one thread and on several, under both block
// preferences: each must give the spectra of the scan-by-scan decoding bit
// for bit, or fail at its first failing scan with the same error.
//
// Before MSScan.bin is written, the point counts of its profile descriptors
// that lie between 2^16 and the run-length cap of 2^27 are reduced to their
// low 16 bits, and uncompressed byte counts between 16 MiB and the LZF cap
// to their low 24 bits: a run-length block of a few bytes may claim 2^27
// points, which decode to 1.5 GiB, more than libFuzzer's malloc limit, and
// a folder holds many such blocks. The profile_block and run_length targets
// cover the larger claims.
#include <cstring>
#include <filesystem>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "acquisition.hpp"
#include "velorium/raw/lzf.hpp"
#include "velorium/raw/msprofile.hpp"
#include "velorium/raw/msscan.hpp"
#include "velorium/reader.hpp"
#include "velorium/store/peak_store.hpp"

namespace {

using velorium::raw::msscan::MSScan;

struct DescriptorAt {
  std::size_t offset;
  bool compact;
};

void clamp_u32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t low, std::uint32_t high,
               std::uint32_t mask) {
  std::uint32_t v;
  std::memcpy(&v, bytes.data() + at, 4);
  if (v > low && v <= high) v &= mask;
  std::memcpy(bytes.data() + at, &v, 4);
}

void clamp_profile_claims(std::vector<std::uint8_t>& image) {
  const auto scan = MSScan::from_bytes(image);
  if (!scan) return;
  std::vector<DescriptorAt> descriptors;
  switch (scan->stride) {
    case 284: descriptors = {{156, false}, {220, false}}; break;
    case 220: descriptors = {{156, false}}; break;
    case 216: descriptors = {{152, false}}; break;
    case 196: descriptors = {{144, false}}; break;
    default: descriptors = {{136, true}}; break;
  }
  for (std::size_t i = 0; i < scan->records.size(); ++i) {
    const std::size_t record = scan->global_header_size + i * scan->stride;
    for (const DescriptorAt d : descriptors) {
      const std::size_t at = record + d.offset;
      const std::size_t fields = at + (d.compact ? 2 : 4);
      clamp_u32(image, fields + 12, 0xFFFF, velorium::raw::msprofile::kMaxRunLengthPoints, 0xFFFF);
      clamp_u32(image, fields + 16, 0xFFFFFF, velorium::raw::lzf::kMaxDecompressedLength, 0xFFFFFF);
    }
  }
}

template <class T>
bool same_bits(std::span<const T> a, std::span<const T> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// The store of every scan against Reader::decode_spectrum, scan by scan.
void check_store(const velorium::Reader& reader, velorium::BlockPreference prefer) {
  std::vector<std::size_t> all(reader.scan_count());
  std::iota(all.begin(), all.end(), std::size_t{0});
  std::optional<std::size_t> first_failure;
  std::string first_error;
  for (std::size_t i = 0; i < all.size() && !first_failure; ++i) {
    auto one = reader.decode_spectrum(i, prefer);
    if (!one) {
      first_failure = i;
      first_error = one.error().error.display();
    }
  }
  for (const unsigned threads : {1u, 3u}) {
    auto store = velorium::store::build_store(reader, all, prefer, threads);
    if (first_failure) {
      VELORIUM_FUZZ_CHECK(!store);
      VELORIUM_FUZZ_CHECK(store.error().position == *first_failure);
      VELORIUM_FUZZ_CHECK(store.error().failure.error.display() == first_error);
      continue;
    }
    VELORIUM_FUZZ_CHECK(store.has_value());
    const auto& s = **store;
    VELORIUM_FUZZ_CHECK(s.size() == all.size() && s.offsets().size() == all.size() + 1);
    for (std::size_t i = 0; i < all.size(); ++i) {
      auto one = reader.decode_spectrum(i, prefer);
      VELORIUM_FUZZ_CHECK(one.has_value());
      VELORIUM_FUZZ_CHECK(same_bits<double>(s.mz(i), one->mz));
      VELORIUM_FUZZ_CHECK(same_bits<float>(s.intensity(i), one->intensity));
      VELORIUM_FUZZ_CHECK(s.record(i) == std::move(*one).with_peaks({}, {}));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velorium::fuzz::enable_logging();
  static const auto root = velorium::fuzz::scratch_dir() / "run.d";
  static const auto acqdata = root / "AcqData";
  static const bool made = std::filesystem::create_directories(acqdata);
  (void)made;

  const auto files = velorium::fuzz::split_acquisition(data, size);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto path = acqdata / velorium::fuzz::kAcqFiles[i];
    if (!files[i]) {
      std::error_code ec;
      std::filesystem::remove(path, ec);
      continue;
    }
    if (i == 0) {
      std::vector<std::uint8_t> image(files[i]->begin(), files[i]->end());
      clamp_profile_claims(image);
      velorium::fuzz::write_file(path, image);
    } else {
      velorium::fuzz::write_file(path, *files[i]);
    }
  }

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
  check_store(*reader, velorium::BlockPreference::Profile);
  check_store(*reader, velorium::BlockPreference::Centroid);
  if (std::getenv("VELORIUM_FUZZ_VERBOSE") != nullptr) {
    std::fprintf(stderr, "stride %u: %zu scans, %zu failed spectra\n", reader->msscan().stride, scans, failures);
  }
  return 0;
}

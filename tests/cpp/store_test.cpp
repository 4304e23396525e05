// The columnar store: every spectrum as the reader decodes it, whatever the
// thread count; the first failure in position order, reported as decoding in
// order would have; claims that the file cannot back; the mapping, its
// huge-page advice and the fallbacks.
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <numeric>
#include <sstream>

#include <gtest/gtest.h>

#include "acquisition_builder.hpp"
#include "velorium/chromatograms.hpp"
#include "velorium/internal/decoding.hpp"
#include "velorium/prefetch.hpp"
#include "velorium/reader.hpp"
#include "velorium/store/peak_store.hpp"

namespace {

using velorium::BlockKind;
using velorium::BlockPreference;
using velorium::Reader;
using velorium::internal::decode_spectrum;
using velorium::log::Level;
using velorium::store::build_store;
using velorium::store::Columns;
using velorium::store::PeakStore;
using namespace velorium::testing;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// A time-of-flight run with a calibration (A = 2, T0 = 0: m/z = (2t)^2).
struct StoreRun {
  TempDir dir;
  std::filesystem::path root = dir / "run.d";
  std::filesystem::path acq = root / "AcqData";
  DataFile profile, peaks;

  StoreRun() { write_file(acq / "DefaultMassCal.xml", default_masscal({{1, 2.0, 0.0}})); }
  void write(const std::vector<TestScan>& scans, std::uint32_t stride = 284) {
    write_file(acq / "MSProfile.bin", profile.bytes());
    write_file(acq / "MSPeak.bin", peaks.bytes());
    write_file(acq / "MSScan.bin", msscan_image(scans, stride));
  }
  Reader open() const {
    auto reader = Reader::open(root);
    EXPECT_TRUE(reader) << reader.error().display();
    return std::move(*reader);
  }
};

// A run-length block: axis, marker, start field, then `words`.
std::vector<std::uint8_t> run_length_block(double x0, double dx, std::int32_t start, const Bytes& words = {}) {
  Bytes b;
  b.f64(x0).f64(dx).u32(0x9002FF00).i32(start);
  b.append(words.vec());
  return b.vec();
}

template <class T>
bool same_bits(std::span<const T> a, std::span<const T> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// The scan id of the scan a failed build names.
std::uint32_t failed_scan(const velorium::Result<std::shared_ptr<const PeakStore>>& store) {
  return store.error().is_scan() ? store.error().as_scan()->scan_id : 0;
}

std::vector<std::size_t> all_of(const Reader& reader) {
  std::vector<std::size_t> all(reader.scan_count());
  std::iota(all.begin(), all.end(), std::size_t{0});
  return all;
}

// Compares the store with decode_spectrum of every position, bit for bit.
void expect_as_decoded(const PeakStore& store, const Reader& reader, std::span<const std::size_t> indices,
                       BlockPreference prefer) {
  ASSERT_EQ(store.size(), indices.size());
  ASSERT_EQ(store.offsets().size(), indices.size() + 1);
  EXPECT_EQ(store.offsets().front(), 0u);
  EXPECT_EQ(store.mz().size(), store.offsets().back());
  EXPECT_EQ(store.intensity().size(), store.offsets().back());
  for (std::size_t p = 0; p < indices.size(); ++p) {
    auto expected = decode_spectrum(reader, indices[p], prefer);
    ASSERT_TRUE(expected) << expected.error().display();
    EXPECT_TRUE(same_bits<double>(store.mz(p), expected->mz)) << "position " << p;
    EXPECT_TRUE(same_bits<float>(store.intensity(p), expected->intensity)) << "position " << p;
    EXPECT_EQ(store.mz(p).data(), store.mz().data() + store.offsets()[p]);
    EXPECT_EQ(store.mz(p).size(), reader.block_plan(indices[p], prefer).point_count);
    lumora::SpectrumRecord without = std::move(*expected).with_peaks({}, {});
    EXPECT_EQ(store.record(p), without) << "position " << p;
  }
}

// Scans of every kind: LZF and run-length profiles, empty profile blocks
// with and without a centroid block, centroid formats 2 and 3 with NaN,
// -0.0 and infinities, both blocks, no block, MS2 with a precursor.
struct MixedRun : StoreRun {
  std::vector<TestScan> scans;
  MixedRun() {
    const double nan_payload = std::bit_cast<double>(0x7FF8000000000123ull);
    const float inf = std::numeric_limits<float>::infinity();
    const Block lzf = profile.add(1, lzf_profile(1.0, 0.5, {10, -20, 30, 0, 7}), 5, 36);
    const Block rle = profile.add(1, run_length_block(2.0, 0.25, -2, Bytes().i32(5).i32(-9).i16(300).i16(-1)), 9, 52);
    const Block zeros = profile.add(1, run_length_block(2.0, 0.25, 0), 4000, 16016);
    const Block empty = profile.add(1, {}, 0, 16);
    const Block f3 = peaks.add(3, format3_block({{100.5, 7.0f}, {-0.0, -0.0f}, {nan_payload, inf}, {1e300, 1e-40f}}), 4);
    const Block f2 = peaks.add(2, format2_block({{10.0, 1.5f}, {-0.0, -0.0f}, {12.5, 3.0f}}), 3);
    scans = {
        {.scan_id = 1, .retention_time_min = 0.5, .profile = lzf},
        {.scan_id = 2, .retention_time_min = 0.6, .profile = rle, .centroid = f3},
        {.scan_id = 3, .retention_time_min = 0.7, .profile = empty, .centroid = f2},
        {.scan_id = 4, .retention_time_min = 0.8, .profile = empty},
        {.scan_id = 5, .ms_level = 2, .collision_energy = 20, .target_mz = 500.25, .centroid = f3},
        {.scan_id = 6, .tic = 5.5, .base_peak_mz = 3, .base_peak_intensity = 4},
        {.scan_id = 7, .profile = zeros},
        {.scan_id = 8, .ion_polarity = 1, .profile = lzf, .centroid = f2},
    };
    write(scans);
  }
};

TEST(PeakStore, EverySpectrumAsDecodedOneByOneWhateverTheThreads) {
  MixedRun run;
  const Reader reader = run.open();
  const auto all = all_of(reader);
  const std::vector<std::size_t> subset = {7, 0, 4, 4, 2};  // any order, repeats allowed
  for (const BlockPreference prefer : {BlockPreference::Profile, BlockPreference::Centroid}) {
    for (const unsigned threads : {1u, 2u, 3u, 8u}) {
      for (const auto& indices : {std::span<const std::size_t>(all), std::span<const std::size_t>(subset)}) {
        auto store = build_store(reader, indices, prefer, threads);
        ASSERT_TRUE(store) << store.error().display();
        expect_as_decoded(**store, reader, indices, prefer);
        EXPECT_EQ((*store)->mapped(), (*store)->points() * 12 >= Columns::kMinMappedBytes);
      }
    }
  }
  // The default thread count is the library's.
  velorium::set_default_threads(3);
  auto store = build_store(reader, all, BlockPreference::Profile);
  velorium::set_default_threads(0);
  ASSERT_TRUE(store);
  expect_as_decoded(**store, reader, all, BlockPreference::Profile);
  EXPECT_EQ((*store)->points(), 5u + 9u + 3u + 4u + 4000u + 5u);
}

TEST(PeakStore, TripleQuadrupoleLayoutAndEmptyRun) {
  StoreRun run;
  const Block a = run.peaks.add(3, format3_block({{100.0, 1.0f}, {200.0, 2.0f}}), 2);
  const Block b = run.peaks.add(3, format3_block({{300.0, 3.0f}}), 1);
  run.write({{.scan_id = 1, .mrm_channel_id = 4, .centroid = a}, {.scan_id = 2, .ms_level = 2, .centroid = b}}, 196);
  const Reader reader = run.open();
  const auto all = all_of(reader);
  auto store = build_store(reader, all, BlockPreference::Profile, 2);
  ASSERT_TRUE(store);
  expect_as_decoded(**store, reader, all, BlockPreference::Profile);

  auto empty = build_store(reader, {}, BlockPreference::Profile, 4);
  ASSERT_TRUE(empty);
  EXPECT_EQ((*empty)->size(), 0u);
  EXPECT_EQ((*empty)->offsets().size(), 1u);
  EXPECT_TRUE((*empty)->mz().empty());
  EXPECT_FALSE((*empty)->mapped());
}

// 40 scans; the profile blocks of scans 7 and 30 and the centroid block of
// scan 13 fail.
struct DamagedRun : StoreRun {
  DamagedRun() {
    const Block bad_profile = profile.add(1, {0x20}, 1, 20);  // a back reference into nothing
    const Block bad_peaks{3, 1000, 24, 2, 0};                  // beyond the end of MSPeak.bin
    std::vector<TestScan> scans;
    for (std::uint32_t i = 0; i < 40; ++i) {
      const std::int32_t v = static_cast<std::int32_t>(i);
      const Block good = profile.add(1, lzf_profile(1.0 + i, 0.5, {v, v + 1, v + 2}), 3, 28);
      TestScan scan{.scan_id = 100 + i, .profile = good};
      if (i == 7 || i == 30) scan.profile = bad_profile;
      if (i == 13) scan = {.scan_id = 100 + i, .centroid = bad_peaks};
      scans.push_back(scan);
    }
    write(scans);
  }
};

// The log records of RawReader's former, sequential path: spectra in order
// until the first error.
std::vector<CapturedRecord> sequential_records(const DamagedRun& run, std::string* error) {
  const Reader reader = run.open();
  LogCapture capture;
  auto spectra = reader.iter_spectra();
  while (auto item = spectra->next()) {
    if (!*item) {
      *error = item->error().display();
      break;
    }
  }
  return capture.records();
}

TEST(PeakStore, FirstFailureInPositionOrderReportedAsInOrder) {
  DamagedRun run;
  std::string sequential_error;
  const auto sequential = sequential_records(run, &sequential_error);
  ASSERT_EQ(sequential.size(), 1u);
  for (const unsigned threads : {1u, 2u, 4u, 8u}) {
    const Reader reader = run.open();
    LogCapture capture;
    auto store = build_store(reader, all_of(reader), BlockPreference::Profile, threads);
    ASSERT_FALSE(store);
    ASSERT_EQ(failed_scan(store), 107u);  // position 7
    EXPECT_EQ(store.error().as_scan()->block, "profile");
    EXPECT_EQ(store.error().display(), decode_spectrum(reader, 7).error().display());
    EXPECT_EQ(reader.profile_failures() + reader.centroid_failures(), 1u);
    EXPECT_EQ(velorium::to_core(std::move(store).error()).display(), sequential_error);
    EXPECT_EQ(capture.records(), sequential) << threads << " threads";
  }
  // Position order, not index order: backwards, scan 30 comes first.
  const Reader reader = run.open();
  auto backwards = all_of(reader);
  std::reverse(backwards.begin(), backwards.end());
  for (const unsigned threads : {1u, 3u}) {
    auto store = build_store(reader, backwards, BlockPreference::Profile, threads);
    ASSERT_FALSE(store);
    EXPECT_EQ(failed_scan(store), 130u);  // position 9
  }
  // The centroid failure alone.
  const std::vector<std::size_t> around = {12, 13, 14};
  auto centroid = build_store(reader, around, BlockPreference::Profile, 2);
  ASSERT_FALSE(centroid);
  ASSERT_EQ(failed_scan(centroid), 113u);  // position 1
  EXPECT_EQ(centroid.error().as_scan()->block, "centroid");
}

TEST(PeakStore, ClaimsTheFileCannotBackReserveNothing) {
  StoreRun run;
  const std::uint32_t huge = 1u << 27;
  const Block peak_ok = run.peaks.add(3, format3_block({{1.0, 1.0f}, {2.0, 2.0f}}), 2);
  const Block profile_ok = run.profile.add(1, lzf_profile(1.0, 0.5, {1, 2, 3}), 3, 28);
  const Block zeros = run.profile.add(1, run_length_block(2.0, 0.25, 0), 1u << 20, 16 + (4u << 20));
  const Block f2 = run.peaks.add(2, format2_block({{10.0, 1.5f}}), 1);
  Block peak_claims_more = peak_ok;
  peak_claims_more.point_count = huge;  // 24 bytes cannot hold 2^27 points
  Block f2_claims_more = f2;
  f2_claims_more.point_count = 2;
  Block peak_outside = peak_ok;
  peak_outside.offset = 1u << 20;
  Block profile_short_size = profile_ok;
  profile_short_size.uncompressed_byte_count = 27;
  Block profile_over_cap = zeros;
  profile_over_cap.point_count = huge + 1;
  profile_over_cap.uncompressed_byte_count = 16 + 4 * (huge + 1);
  run.write({
      {.scan_id = 1, .centroid = peak_ok},
      {.scan_id = 2, .profile = profile_ok},
      {.scan_id = 3, .profile = zeros},
      {.scan_id = 4, .centroid = peak_claims_more},
      {.scan_id = 5, .centroid = f2_claims_more},
      {.scan_id = 6, .centroid = peak_outside},
      {.scan_id = 7, .profile = profile_short_size},
      {.scan_id = 8, .profile = profile_over_cap},
      {.scan_id = 9, .calibration_id = 99, .profile = profile_ok},  // no such calibration
      {.scan_id = 10, .calibration_id = 99, .centroid = f2},
      {.scan_id = 11, .calibration_id = 99, .centroid = peak_ok},  // format 3 needs none
  });
  const Reader reader = run.open();
  const auto sizes = velorium::internal::data_file_sizes(reader);
  const std::vector<std::uint32_t> justified = {2, 3, 1u << 20, 0, 0, 0, 0, 0, 0, 0, 2};
  for (std::size_t i = 0; i < justified.size(); ++i) {
    const std::uint32_t points =
        velorium::internal::justified_points(reader, i, BlockPreference::Profile, sizes);
    EXPECT_EQ(points, justified[i]) << "scan " << i;
    // Every claim reserved as nothing fails to decode.
    EXPECT_EQ(decode_spectrum(reader, i).has_value(), points != 0) << "scan " << i;
  }
  EXPECT_EQ(velorium::internal::justified_points(reader, 0, BlockPreference::Profile, {sizes.profile, std::nullopt}),
            0u);
  // Each unbacked claim fails with the decoder's own error.
  for (std::size_t i = 3; i < 10; ++i) {
    const std::vector<std::size_t> one = {0, i};
    auto store = build_store(reader, one, BlockPreference::Profile, 2);
    ASSERT_FALSE(store) << "scan " << i;
    EXPECT_EQ(failed_scan(store), reader.scan(i).scan_id);  // position 1
    EXPECT_EQ(store.error().display(), decode_spectrum(reader, i).error().display());
  }
  const std::vector<std::size_t> good = {0, 1, 2, 10 /* fails */};
  auto store = build_store(reader, std::span(good).first(3), BlockPreference::Profile, 2);
  ASSERT_TRUE(store);
  EXPECT_EQ((*store)->points(), 2u + 3u + (1u << 20));
  expect_as_decoded(**store, reader, std::span(good).first(3), BlockPreference::Profile);
}

// The flags of the mapping that holds `address`, from /proc/self/smaps.
std::string vm_flags_of(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  const auto target = reinterpret_cast<std::uintptr_t>(address);
  while (std::getline(smaps, line)) {
    std::uintptr_t begin = 0, end = 0;
    char dash = 0;
    std::istringstream header(line);
    if (header >> std::hex >> begin >> dash >> end && dash == '-') {
      inside = begin <= target && target < end;
      continue;
    }
    if (inside && line.rfind("VmFlags:", 0) == 0) return line;
  }
  return {};
}

TEST(Columns, OneMappingOnAHugePageBoundaryWithHugePageAdvice) {
  auto none = Columns::allocate(0);
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->mapped());
  EXPECT_EQ(none->mz(), nullptr);

  const std::size_t points = Columns::kMinMappedBytes / 12 + 1;
  auto columns = Columns::allocate(points);
  ASSERT_TRUE(columns);
  ASSERT_TRUE(columns->mapped());
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(columns->mz()) % (2u << 20), 0u);
  EXPECT_EQ(reinterpret_cast<const std::byte*>(columns->intensity()),
            reinterpret_cast<const std::byte*>(columns->mz()) + points * sizeof(double));
  columns->mz()[0] = 1.0;
  columns->intensity()[points - 1] = 2.0f;  // the last point is inside the mapping
  const std::string flags = vm_flags_of(columns->mz());
  ASSERT_FALSE(flags.empty());
  EXPECT_NE(flags.find(" hg"), std::string::npos) << flags;
  EXPECT_EQ(vm_flags_of(columns->intensity()), flags);  // one mapping

  Columns moved = std::move(*columns);
  EXPECT_EQ(columns->mz(), nullptr);
  EXPECT_EQ(moved.mz()[0], 1.0);

  auto heap = Columns::allocate(points, false);
  ASSERT_TRUE(heap);
  EXPECT_FALSE(heap->mapped());
  heap->intensity()[points - 1] = 3.0f;
  auto small = Columns::allocate(Columns::kMinMappedBytes / 12 - 1);  // too small for whole huge pages
  ASSERT_TRUE(small);
  EXPECT_FALSE(small->mapped());
  EXPECT_FALSE(Columns::allocate(std::numeric_limits<std::uint64_t>::max() / 8));
}

// The address space this process uses now, in bytes.
std::uint64_t address_space_in_use() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
  }
  return 0;
}

// Limits this process's address space to what it uses now plus
// `headroom`, runs `body` and exits: 0 when `body` is true. For death tests.
template <class Body>
[[noreturn]] void run_limited(std::uint64_t headroom, Body body) {
  const rlim_t limit = address_space_in_use() + headroom;
  const rlimit rl{limit, limit};
  if (setrlimit(RLIMIT_AS, &rl) != 0) _exit(3);
  _exit(body() ? 0 : 1);
}

// Runs `body` in a child process whose address space is limited to what it
// uses now plus `headroom`; passes when `body` is true there.
template <class Body>
void in_limited_child(std::uint64_t headroom, Body body) {
  EXPECT_EXIT(run_limited(headroom, body), testing::ExitedWithCode(0), "");
}

TEST(PeakStore, WithoutRoomForTheClaimsDecodesScanByScan) {
  if (kSanitized) GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Scans 2 to 6 claim 2^24 - 4 points each (192 MiB of columns) from LZF
  // blocks that do not decode: 960 MiB of claims that the checks before
  // decoding cannot refuse.
  StoreRun run;
  const std::uint32_t n = (1u << 24) - 4;
  const Block good = run.profile.add(1, lzf_profile(1.0, 0.5, {1, 2, 3}), 3, 28);
  const Block bogus = run.profile.add(1, {0x20, 0x00}, n, 16 + 4 * n);
  std::vector<TestScan> scans = {{.scan_id = 1, .profile = good}, {.scan_id = 2, .profile = good}};
  for (std::uint32_t i = 0; i < 5; ++i) scans.push_back({.scan_id = 3 + i, .profile = bogus});
  run.write(scans);
  const Reader reader = run.open();
  const auto all = all_of(reader);
  const std::string expected = decode_spectrum(reader, 2).error().display();  // scanId=3: position 2
  for (const unsigned threads : {1u, 2u}) {
    in_limited_child(std::uint64_t{512} << 20, [&] {
      auto store = build_store(reader, all, BlockPreference::Profile, threads);
      return !store && store.error().display() == expected;
    });
  }
  // With room for the claims: the same failure from the mapping.
  auto store = build_store(reader, all, BlockPreference::Profile, 2);
  ASSERT_FALSE(store);
  EXPECT_EQ(store.error().display(), expected);
}

TEST(PeakStore, OutOfMemoryWhileDecodingIsAnExceptionOnTheCaller) {
  if (kSanitized) GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Five run-length blocks that do decode to 2^24 points each: more than
  // the limit lets the store or the scans hold.
  StoreRun run;
  const std::uint32_t n = 1u << 24;
  const Block zeros = run.profile.add(1, run_length_block(2.0, 0.25, 0), n, 16 + 4 * n);
  std::vector<TestScan> scans;
  for (std::uint32_t i = 0; i < 5; ++i) scans.push_back({.scan_id = 1 + i, .profile = zeros});
  run.write(scans);
  const Reader reader = run.open();
  const auto all = all_of(reader);
  for (const unsigned threads : {1u, 2u}) {
    in_limited_child(std::uint64_t{512} << 20, [&] {
      try {
        (void)build_store(reader, all, BlockPreference::Profile, threads);
      } catch (const std::bad_alloc&) {
        return true;
      }
      return false;
    });
  }
}

TEST(Chromatograms, FromTheStoreAsFromTheReader) {
  // The triple-quadrupole layout records no TIC or base peak: both come
  // from the peaks.
  StoreRun run;
  const Block peaks = run.peaks.add(3, format3_block({{100.5, 7.0f}, {200.25, 9.5f}, {300.0, 9.25f}}), 3);
  const Block empty = run.peaks.add(3, {}, 0);
  run.write(
      {
          {.scan_id = 1, .retention_time_min = 0.1, .centroid = peaks},
          {.scan_id = 2, .retention_time_min = 0.2, .ms_level = 2, .centroid = peaks},
          {.scan_id = 3, .retention_time_min = 1.0 / 600.0, .centroid = empty},  // TIC -0.0, no base peak
          {.scan_id = 4, .retention_time_min = 0.4, .centroid = peaks},
      },
      196);
  const Reader reader = run.open();
  auto store = build_store(reader, all_of(reader), BlockPreference::Profile, 2);
  ASSERT_TRUE(store);
  velorium::ChromatogramBuilder builder;
  for (std::size_t i = 0; i < (*store)->size(); ++i) {
    builder.add((*store)->record(i), (*store)->mz(i), (*store)->intensity(i));
  }
  const auto from_store = std::move(builder).finish();
  auto from_reader = reader.iter_chromatograms();
  std::vector<lumora::ChromatogramRecord> expected;
  while (auto item = from_reader->next()) expected.push_back(std::move(**item));
  ASSERT_EQ(from_store.size(), 2u);
  EXPECT_EQ(from_store, expected);
  EXPECT_EQ(from_store[0].time_sec.size(), 3u);  // MS1 only
  EXPECT_EQ(from_store[0].intensity[0], 25.75f);
  EXPECT_TRUE(std::signbit(from_store[0].intensity[1]));  // -0.0, which == cannot tell from 0.0
  EXPECT_TRUE(std::signbit(expected[0].intensity[1]));
  EXPECT_EQ(from_store[1].intensity[1], 0.0f);
  EXPECT_EQ(from_store[1].intensity[0], 9.5f);
  EXPECT_EQ(from_store[0].time_sec[1], 0.1f);
  EXPECT_TRUE(velorium::ChromatogramBuilder().finish().empty());
}

}  // namespace

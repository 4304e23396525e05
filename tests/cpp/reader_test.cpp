#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "acquisition_builder.hpp"
#include "velorium/internal/decoding.hpp"
#include "velorium/prefetch.hpp"
#include "velorium/raw/instrument.hpp"
#include "velorium/reader.hpp"

namespace {

using lumora::Analyzer;
using lumora::CvTerm;
using velorium::Reader;
using velorium::internal::decode_spectrum;
using velorium::log::Level;
using velorium::DeviceInfo;
using velorium::ScanIndex;
using namespace velorium::testing;

// A time-of-flight acquisition in a temporary folder.
struct Acquisition {
  TempDir dir;
  std::filesystem::path root = dir / "run.d";
  std::filesystem::path acq = root / "AcqData";

  void scans(const std::vector<TestScan>& s, std::uint32_t stride = 284) {
    write_file(acq / "MSScan.bin", msscan_image(s, stride));
  }
  void file(std::string_view name, std::span<const std::uint8_t> bytes) { write_file(acq / name, bytes); }
  void file(std::string_view name, std::string_view text) { write_file(acq / name, text); }

  Reader open() const {
    auto reader = Reader::open(root);
    EXPECT_TRUE(reader) << reader.error().display();
    return std::move(*reader);
  }
};

ScanIndex scan_index(std::uint32_t stride) {
  ScanIndex s;
  s.stride = stride;
  return s;
}

std::string first_error(const Reader& reader, std::size_t index) {
  auto result = reader.spectrum(index);
  return result ? "<ok>" : result.error().display();
}

TEST(RunLabel, LastPlainComponent) {
  EXPECT_EQ(velorium::run_label("runs/sample01.d/"), "sample01.d");
  EXPECT_EQ(velorium::run_label("runs//sample01.d//"), "sample01.d");
  EXPECT_EQ(velorium::run_label("/data/x.d/."), "x.d");
  EXPECT_EQ(velorium::run_label("./x.d"), "x.d");
  EXPECT_EQ(velorium::run_label("plain"), "plain");
  EXPECT_EQ(velorium::run_label("/"), "bundle.d");
  EXPECT_EQ(velorium::run_label("."), "bundle.d");
  EXPECT_EQ(velorium::run_label("./"), "bundle.d");
  EXPECT_EQ(velorium::run_label(""), "bundle.d");
  EXPECT_EQ(velorium::run_label("runs/.."), "bundle.d");
  EXPECT_EQ(velorium::run_label("runs/../x.d"), "x.d");
  EXPECT_EQ(velorium::run_label("runs/r\xFF.d"), "r\xEF\xBF\xBD.d");
}

TEST(ResolveInstrument, TableAndFallbacks) {
  const auto tof = scan_index(284);
  const auto qqq = scan_index(186);
  EXPECT_EQ(velorium::raw::resolve_instrument(std::nullopt, tof), CvTerm::constant("MS:1000461", "Agilent Q-TOF"));
  EXPECT_EQ(velorium::raw::resolve_instrument(std::nullopt, qqq), CvTerm::constant("MS:1000461", "Agilent QQQ"));
  EXPECT_EQ(velorium::raw::resolve_instrument(DeviceInfo{"QTOF", "g6530b"}, qqq),
            CvTerm::constant("MS:1002787", "6530B Q-TOF LC/MS"));
  EXPECT_EQ(velorium::raw::resolve_instrument(DeviceInfo{"x", "G6410A"}, tof),
            CvTerm::constant("MS:1003526", "6410A Triple Quadrupole LC/MS"));
  EXPECT_EQ(velorium::raw::resolve_instrument(DeviceInfo{"QTOF", "G6545A"}, tof),
            CvTerm::constant("MS:1000490", "Agilent instrument model"));
  EXPECT_EQ(velorium::raw::resolve_instrument(DeviceInfo{"QTOF", "G6530A "}, tof),
            CvTerm::constant("MS:1000490", "Agilent instrument model"));
  EXPECT_TRUE(velorium::raw::resolve_instrument(DeviceInfo{"QTOF", "G6550A"}, tof).name.is_constant());
}

TEST(ResolveAnalyzer, NameThenStride) {
  EXPECT_EQ(velorium::raw::resolve_analyzer(DeviceInfo{"qToF", "m"}, scan_index(196)), Analyzer::Tofms);
  EXPECT_EQ(velorium::raw::resolve_analyzer(DeviceInfo{"TandemQuadrupole", "m"}, scan_index(284)), Analyzer::Tqms);
  EXPECT_EQ(velorium::raw::resolve_analyzer(DeviceInfo{"Q-TOF", "G6530A"}, scan_index(196)), Analyzer::Tqms);
  EXPECT_EQ(velorium::raw::resolve_analyzer(std::nullopt, scan_index(216)), Analyzer::Tofms);
  EXPECT_EQ(velorium::raw::resolve_analyzer(std::nullopt, scan_index(186)), Analyzer::Tqms);
}

TEST(ReaderOpen, OneWarningListsTheUnknownPolarityCodesInOrder) {
  const auto polarity_warnings = [](const std::vector<std::int32_t>& codes) {
    Acquisition a;
    std::vector<TestScan> scans;
    for (std::size_t i = 0; i < codes.size(); ++i) {
      scans.push_back({.scan_id = static_cast<std::uint32_t>(i + 1), .ion_polarity = codes[i]});
    }
    a.scans(scans);
    LogCapture capture;
    (void)a.open();
    std::vector<CapturedRecord> found;
    for (const auto& record : capture.records()) {
      if (record.message.find("IonPolarity") != std::string::npos) found.push_back(record);
    }
    return found;
  };
  const auto warning = [](std::string map) {
    return CapturedRecord{"velorium::reader", Level::Warn,
                          "run.d: unrecognized IonPolarity values (value: scans) " + map +
                              "; polarity left unset for those scans"};
  };
  EXPECT_EQ(polarity_warnings({0, 1, 1, 3, 3, 3}), std::vector<CapturedRecord>{warning("{3: 3}")});
  EXPECT_EQ(polarity_warnings({3, 0, 1, 3, -1, 2, 3}), std::vector<CapturedRecord>{warning("{-1: 1, 2: 1, 3: 3}")});
  EXPECT_TRUE(polarity_warnings({0, 1, 0}).empty());
}

TEST(ReaderOpen, RequiresAcqDataAndAValidScanIndex) {
  Acquisition a;
  std::filesystem::create_directories(a.root);
  auto missing = Reader::open(a.root);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().display(), "parse error: AcqData directory not found");

  std::filesystem::create_directories(a.acq);
  auto no_scan = Reader::open(a.root);
  ASSERT_FALSE(no_scan);
  EXPECT_EQ(no_scan.error().display(), "I/O error: No such file or directory");

  a.scans({{.scan_id = 1}});
  auto itself = Reader::open(a.acq);  // the AcqData folder itself has no AcqData inside
  ASSERT_FALSE(itself);
  EXPECT_EQ(itself.error().display(), "parse error: AcqData directory not found");

  a.file("MSScan.bin", std::string_view("tiny"));
  auto malformed = Reader::open(a.root);
  ASSERT_FALSE(malformed);
  EXPECT_EQ(malformed.error().display(), "parse error: MSScan.bin too small for header");
}

TEST(ReaderOpen, AFileNamedAcqDataPassesTheFirstCheckOnly) {
  Acquisition a;
  write_file(a.acq, std::string_view("not a folder"));
  auto reader = Reader::open(a.root);
  ASSERT_FALSE(reader);
  EXPECT_TRUE(reader.error().is_io()) << reader.error().display();
}

TEST(ReaderOpen, EveryOptionalFileAbsent) {
  Acquisition a;
  a.scans({{.scan_id = 1, .retention_time_min = 0.5}, {.scan_id = 2, .ms_level = 2}});
  LogCapture capture;
  const Reader reader = a.open();
  EXPECT_EQ(reader.source_file_name(), "run.d");
  EXPECT_EQ(reader.scan_index().records.size(), 2u);
  EXPECT_FALSE(reader.device());
  EXPECT_FALSE(reader.acquired_time());
  EXPECT_EQ(reader.instrument(), CvTerm::constant("MS:1000461", "Agilent Q-TOF"));
  EXPECT_EQ(reader.analyzer(), Analyzer::Tofms);
  EXPECT_FALSE(reader.calibration_source(0));
  EXPECT_FALSE(reader.calibration_source(1));
  const auto warnings = capture.messages(Level::Warn);
  ASSERT_FALSE(warnings.empty());
  EXPECT_EQ(warnings.front(), "run.d: DefaultMassCal.xml not found");
  EXPECT_EQ(warnings.back(), "run.d: 2 scans have no usable mass calibration");

  // Scans without descriptors still decode, to empty centroid spectra.
  auto spectra = reader.iter_spectra();
  EXPECT_EQ(spectra->remaining(), 2u);
  auto first = spectra->next();
  ASSERT_TRUE(first && *first);
  EXPECT_TRUE((*first)->mz.empty());
  EXPECT_EQ((*first)->scan_mode, lumora::ScanMode::Centroid);
  EXPECT_EQ((*first)->retention_time_sec, 30.0);
}

TEST(ReaderOpen, LogOrderFollowsTheSteps) {
  Acquisition a;
  a.scans({{.scan_id = 1, .ion_polarity = 5}});
  a.file("Devices.xml", std::string_view("<Devices><Device>"));
  LogCapture capture;
  (void)a.open();
  const auto records = capture.records();
  ASSERT_GE(records.size(), 3u);
  EXPECT_EQ(records.front().target, "velorium::raw::metadata");
  EXPECT_NE(records.front().message.find("Devices.xml: XML parse failed: "), std::string::npos);
  EXPECT_NE(records.back().message.find("unrecognized IonPolarity values (value: scans) {5: 1}"), std::string::npos);
}

// A time-of-flight run with a calibration (A = 2, T0 = 0: m/z = (2t)^2).
struct CalibratedRun : Acquisition {
  DataFile profile, peaks;
  CalibratedRun() { file("DefaultMassCal.xml", velorium::testing::default_masscal({{1, 2.0, 0.0}})); }
  void write_data() {
    file("MSProfile.bin", profile.bytes());
    file("MSPeak.bin", peaks.bytes());
  }
};

TEST(ReaderScanIndex, RecordsAndCalibrationSourcePerScan) {
  CalibratedRun run;  // DefaultMassCal.xml holds calibration 1 only
  const Block cent = run.peaks.add(3, format3_block({{100.5, 7.0f}}), 1);
  run.write_data();
  run.scans({{.scan_id = 5, .retention_time_min = 1.5, .calibration_id = 1, .tic = 3.0, .centroid = cent},
             {.scan_id = 6, .ms_level = 2, .calibration_id = 9}});
  const Reader reader = run.open();
  const velorium::ScanIndex& index = reader.scan_index();
  EXPECT_EQ(index.stride, 284u);
  EXPECT_EQ(index.global_header_size, 92u);
  ASSERT_EQ(index.records.size(), 2u);
  EXPECT_EQ(reader.scan_count(), 2u);
  EXPECT_EQ(&reader.scan(1), &index.records[1]);
  EXPECT_EQ(index.records[0].scan_id, 5u);
  EXPECT_EQ(index.records[0].retention_time_min, 1.5);
  EXPECT_EQ(index.records[0].tic, 3.0);
  EXPECT_EQ(index.records[0].centroid_params, (velorium::SpectrumParams{3, cent.offset, cent.byte_count, 1}));
  EXPECT_EQ(index.records[1].calibration_id, 9);
  EXPECT_EQ(index.records[1].ms_level, 2u);
  EXPECT_EQ(reader.calibration_source(0), velorium::CalibrationSource::DefaultMassCal);
  EXPECT_FALSE(reader.calibration_source(1));  // no entry for calibration 9
  EXPECT_FALSE(reader.calibration_source(2));  // beyond the last scan
}

TEST(Spectrum, ProfileCentroidAndFallThrough) {
  CalibratedRun run;
  const Block prof = run.profile.add(1, lzf_profile(1.0, 0.5, {10, 20, 30}), 3, 28);
  const Block empty = run.profile.add(1, {}, 0, 16);
  const Block cent = run.peaks.add(3, format3_block({{100.5, 7.0f}, {200.25, 9.0f}}), 2);
  const Block tof = run.peaks.add(2, format2_block({{10.0, 1.5f}}), 1);
  run.write_data();
  run.scans({
      {.scan_id = 1, .profile = prof, .centroid = cent},
      {.scan_id = 2, .profile = empty, .centroid = cent},
      {.scan_id = 3, .profile = empty},
      {.scan_id = 4, .centroid = tof},
  });
  const Reader reader = run.open();
  auto spectra = reader.iter_spectra();

  auto s = *spectra->next();
  ASSERT_TRUE(s) << s.error().display();
  EXPECT_EQ(s->scan_mode, lumora::ScanMode::Profile);
  EXPECT_EQ(s->mz, (std::vector<double>{4.0, 9.0, 16.0}));
  EXPECT_EQ(s->intensity, (std::vector<float>{10, 20, 30}));
  EXPECT_EQ(s->extra.at("velorium.profile.uncompressed_byte_count"), "28");
  EXPECT_EQ(s->extra.at("velorium.centroid.format_id"), "3");  // both groups of keys
  EXPECT_EQ(s->extra.at("velorium.calibration_id"), "1");

  s = *spectra->next();
  ASSERT_TRUE(s) << s.error().display();
  EXPECT_EQ(s->scan_mode, lumora::ScanMode::Centroid);
  EXPECT_EQ(s->mz, (std::vector<double>{100.5, 200.25}));

  s = *spectra->next();
  ASSERT_TRUE(s) << s.error().display();
  EXPECT_EQ(s->scan_mode, lumora::ScanMode::Profile);
  EXPECT_TRUE(s->mz.empty());

  s = *spectra->next();
  ASSERT_TRUE(s) << s.error().display();
  EXPECT_EQ(s->mz, (std::vector<double>{400.0}));
  EXPECT_FALSE(spectra->next());
}

TEST(Spectrum, CentroidPreferenceReadsThePeakBlockWhereThereIsOne) {
  CalibratedRun run;
  const Block prof = run.profile.add(1, lzf_profile(1.0, 0.5, {10, 20, 30}), 3, 28);
  const Block cent = run.peaks.add(3, format3_block({{100.5, 7.0f}, {200.25, 9.0f}}), 2);
  const Block bad_peaks{3, 1000, 24, 2, 0};
  run.write_data();
  run.scans({{.scan_id = 1, .profile = prof, .centroid = cent},
             {.scan_id = 2, .profile = prof},
             {.scan_id = 3, .profile = prof, .centroid = bad_peaks}});
  const Reader reader = run.open();
  const auto centroid = velorium::BlockPreference::Centroid;
  auto s = reader.spectrum(0, centroid);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->scan_mode, lumora::ScanMode::Centroid);
  EXPECT_EQ(s->mz, (std::vector<double>{100.5, 200.25}));
  s = reader.spectrum(1, centroid);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->scan_mode, lumora::ScanMode::Profile);
  EXPECT_EQ(s->mz, (std::vector<double>{4.0, 9.0, 16.0}));
  // The centroid block is the one read, so its failure is the scan's.
  auto failed = decode_spectrum(reader, 2, centroid);
  ASSERT_FALSE(failed);
  ASSERT_TRUE(failed.error().is_scan());
  EXPECT_EQ(failed.error().as_scan()->block, "centroid");
  EXPECT_EQ(failed.error().as_scan()->scan_id, 3u);
  EXPECT_EQ(reader.centroid_failures(), 0u);  // decode_spectrum reports nothing
  EXPECT_TRUE(reader.spectrum(2));           // the profile block is fine
}

TEST(Prefetcher, SameSpectraInTheGivenOrderWhateverTheThreads) {
  CalibratedRun run;
  const Block bad_profile = run.profile.add(1, {0x20}, 1, 20);
  std::vector<TestScan> scans;
  for (std::uint32_t i = 0; i < 40; ++i) {
    const std::int32_t v = static_cast<std::int32_t>(i);
    const Block good = run.profile.add(1, lzf_profile(1.0 + i, 0.5, {v, v + 1, v + 2}), 3, 28);
    scans.push_back({.scan_id = 1 + i, .profile = i % 7 == 3 ? bad_profile : good});
  }
  run.write_data();
  run.scans(scans);
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < 40; ++i) order.push_back((i * 17) % 40);
  // The log of Reader::spectrum in that order, on a reader of its own.
  std::vector<CapturedRecord> sequential;
  {
    const Reader reader = run.open();
    LogCapture capture;
    for (const std::size_t i : order) (void)reader.spectrum(i);
    sequential = capture.records();
  }
  ASSERT_EQ(sequential.size(), 6u);  // one record per failing scan
  for (unsigned threads : {1u, 2u, 3u, 8u}) {
    for (std::size_t per_worker : {1u, 4u}) {
      const Reader reader = run.open();
      LogCapture capture;
      velorium::Prefetcher prefetcher(reader, order, velorium::BlockPreference::Profile, threads, per_worker);
      for (std::size_t k = 0; k < order.size(); ++k) {
        ASSERT_EQ(prefetcher.remaining(), order.size() - k);
        auto item = prefetcher.next();
        ASSERT_TRUE(item);
        auto expected = decode_spectrum(reader, order[k]);
        ASSERT_EQ(item->has_value(), expected.has_value());
        if (expected) {
          EXPECT_EQ(**item, *expected);
        } else {
          EXPECT_EQ(item->error().display(), expected.error().display());
        }
      }
      EXPECT_FALSE(prefetcher.next());
      EXPECT_FALSE(prefetcher.next());
      // Failures reported as they are handed out: as taking the spectra one
      // by one in that order would.
      EXPECT_EQ(capture.records(), sequential) << threads << " threads, " << per_worker << " per worker";
      EXPECT_EQ(reader.profile_failures(), 6u);
    }
  }
}

TEST(Prefetcher, DroppedEarlyOrEmpty) {
  CalibratedRun run;
  std::vector<TestScan> scans;
  for (std::uint32_t i = 0; i < 30; ++i) {
    scans.push_back({.scan_id = 1 + i, .profile = run.profile.add(1, lzf_profile(1.0, 0.5, {1, 2}), 2, 24)});
  }
  run.write_data();
  run.scans(scans);
  const Reader reader = run.open();
  std::vector<std::size_t> all(30);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  for (int taken = 0; taken < 3; ++taken) {
    velorium::Prefetcher prefetcher(reader, all, velorium::BlockPreference::Profile, 4, 2);
    for (int k = 0; k < taken; ++k) ASSERT_TRUE(prefetcher.next());
  }  // destroyed with workers blocked on a full window
  velorium::Prefetcher empty(reader, {}, velorium::BlockPreference::Profile, 4);
  EXPECT_FALSE(empty.next());
  EXPECT_EQ(empty.remaining(), 0u);
}

TEST(ParallelFor, EveryIndexOnce) {
  for (unsigned threads : {0u, 1u, 2u, 5u}) {
    std::vector<std::atomic<int>> hits(1000);
    velorium::parallel_for(hits.size(), threads, [&](std::size_t i) { hits[i].fetch_add(1); });
    for (const auto& h : hits) ASSERT_EQ(h.load(), 1);
  }
  velorium::parallel_for(0, 4, [](std::size_t) { FAIL(); });
}

TEST(Spectrum, RecordFieldsAndPrecursor) {
  CalibratedRun run;
  run.write_data();
  run.scans({
      {.scan_id = 10, .retention_time_min = 1.5, .ion_polarity = 0, .tic = 5, .base_peak_mz = 6,
       .base_peak_intensity = 7},
      {.scan_id = 11, .ms_level = 2, .ion_polarity = 1, .collision_energy = 15, .target_mz = 500.2},
      {.scan_id = 12, .ms_level = 2, .ion_polarity = -1},
  });
  const Reader reader = run.open();
  auto spectra = reader.iter_spectra();
  const auto ms1 = **spectra->next();
  EXPECT_EQ(ms1.native_id, "scanId=10");
  EXPECT_EQ(ms1.retention_time_sec, 90.0);
  EXPECT_EQ(ms1.polarity, lumora::Polarity::Positive);
  EXPECT_EQ(ms1.reported_total_ion_current, 5.0);
  EXPECT_EQ(ms1.reported_base_peak_intensity, 7.0);
  EXPECT_FALSE(ms1.precursor);
  EXPECT_EQ(ms1.low_mz, 0.0);  // carried by the 284 layout (zero-filled here)
  EXPECT_EQ(ms1.analyzer, Analyzer::Tofms);
  EXPECT_EQ(ms1.extra, (lumora::TextMap{{"velorium.calibration_id", "1"}}));

  const auto ms2 = **spectra->next();
  EXPECT_EQ(ms2.polarity, lumora::Polarity::Negative);
  ASSERT_TRUE(ms2.precursor);
  lumora::Precursor expected;
  expected.target_mz = 500.2;
  expected.collision_energy = 15.0;
  EXPECT_EQ(*ms2.precursor, expected);

  const auto odd = **spectra->next();
  EXPECT_FALSE(odd.polarity);
  EXPECT_EQ(odd.extra.at("velorium.ion_polarity"), "-1");
}

TEST(Spectrum, TripleQuadrupoleRun) {
  Acquisition a;
  DataFile peaks, profile;
  const Block cent = peaks.add(3, format3_block({{300.0, 2.0f}}), 1);
  const Block tof = peaks.add(2, format2_block({{10.0, 1.5f}}), 1);
  const Block prof = profile.add(1, lzf_profile(1.0, 0.5, {1}), 1, 20);
  a.file("MSPeak.bin", peaks.bytes());
  a.file("MSProfile.bin", profile.bytes());
  a.file("DefaultMassCal.xml", velorium::testing::default_masscal({{1, 2.0, 0.0}}));
  a.scans({{.scan_id = 1, .ms_level = 2, .mrm_channel_id = 7, .centroid = cent},
           {.scan_id = 2, .centroid = tof},
           {.scan_id = 3, .profile = prof}},
          196);
  const Reader reader = a.open();
  for (std::size_t i = 0; i < reader.scan_count(); ++i) EXPECT_FALSE(reader.calibration_source(i)) << i;
  EXPECT_EQ(reader.analyzer(), Analyzer::Tqms);

  auto mrm = reader.spectrum(0);
  ASSERT_TRUE(mrm);
  EXPECT_EQ(mrm->extra.at("velorium.mrm_channel_id"), "7");
  ASSERT_TRUE(mrm->precursor);
  EXPECT_FALSE(mrm->precursor->target_mz);
  EXPECT_EQ(mrm->precursor->precursor_native_id, "mrm_channel=7");
  EXPECT_FALSE(mrm->precursor->collision_energy);  // not carried by the 196 layout

  EXPECT_EQ(first_error(reader, 1), "scanId=2: centroid block: parse error: Q-TOF centroid block has no mass calibration");
  EXPECT_EQ(first_error(reader, 2), "scanId=3: profile block: parse error: profile block has no mass calibration");
}

TEST(Spectrum, NoCalibrationFailsTheProfileBlockWithoutTryingTheCentroid) {
  CalibratedRun run;
  const Block prof = run.profile.add(1, lzf_profile(1.0, 0.5, {1}), 1, 20);
  const Block cent = run.peaks.add(3, format3_block({{1.0, 1.0f}}), 1);
  run.write_data();
  run.scans({{.scan_id = 1, .calibration_id = 99, .profile = prof, .centroid = cent}});
  const Reader reader = run.open();
  EXPECT_EQ(first_error(reader, 0), "scanId=1: profile block: parse error: profile block has no mass calibration");
  EXPECT_EQ(reader.centroid_failures(), 0u);
}

TEST(Spectrum, FailuresWarnOncePerKindThenDebug) {
  CalibratedRun run;
  const Block bad_profile = run.profile.add(1, {0x20}, 1, 20);  // a back reference into nothing
  const Block bad_peaks{3, 1000, 24, 2, 0};                      // beyond the end of MSPeak.bin
  run.write_data();
  run.scans({{.scan_id = 1, .profile = bad_profile},
             {.scan_id = 2, .profile = bad_profile},
             {.scan_id = 3, .centroid = bad_peaks}});
  const Reader reader = run.open();
  LogCapture capture;
  EXPECT_EQ(first_error(reader, 0), "scanId=1: profile block: parse error: LZF: invalid back reference");
  EXPECT_EQ(first_error(reader, 1), "scanId=2: profile block: parse error: LZF: invalid back reference");
  const std::string read_failure = "parse error: read_bytes: requested 24 bytes at offset 1000 but " +
                                   (run.acq / "MSPeak.bin").string() + " has only 0 bytes remaining";
  EXPECT_EQ(first_error(reader, 2), "scanId=3: centroid block: " + read_failure);
  const std::vector<CapturedRecord> expected{
      {"velorium::reader", Level::Warn,
       "run.d: profile block for scanId=1 failed to decode: parse error: LZF: invalid back reference (further "
       "profile failures in this bundle are logged at debug level)"},
      {"velorium::reader", Level::Debug,
       "run.d: profile block for scanId=2 failed to decode: parse error: LZF: invalid back reference"},
      {"velorium::reader", Level::Warn,
       "run.d: centroid block for scanId=3 failed to decode: " + read_failure +
           " (further centroid failures in this bundle are logged at debug level)"},
  };
  EXPECT_EQ(capture.records(), expected);
  EXPECT_EQ(reader.profile_failures(), 2u);
}

TEST(Spectrum, OneWarningPerKindWhateverTheThreads) {
  CalibratedRun run;
  const Block bad_profile = run.profile.add(1, {0x20}, 1, 20);
  run.write_data();
  std::vector<TestScan> scans;
  for (std::uint32_t i = 0; i < 64; ++i) scans.push_back({.scan_id = 1 + i, .profile = bad_profile});
  run.scans(scans);
  const Reader reader = run.open();
  LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      auto spectra = reader.iter_spectra();
      while (auto item = spectra->next()) EXPECT_FALSE(*item);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(capture.messages(Level::Warn).size(), 1u);
  EXPECT_EQ(capture.messages(Level::Debug).size(), 127u);
  EXPECT_EQ(reader.profile_failures(), 128u);
}

TEST(Source, AnErrorItemDoesNotEndTheSequenceButEndsChromatograms) {
  CalibratedRun run;
  const Block good = run.peaks.add(3, format3_block({{100.0, 4.0f}}), 1);
  const Block bad{3, 0, 12, 2, 0};  // two peaks claimed in 12 bytes
  run.write_data();
  run.scans({{.scan_id = 1, .centroid = good},
             {.scan_id = 2, .centroid = good},
             {.scan_id = 3, .centroid = bad},
             {.scan_id = 4, .centroid = good}});
  const Reader reader = run.open();
  auto spectra = reader.iter_spectra();
  std::vector<bool> ok;
  while (auto item = spectra->next()) ok.push_back(item->has_value());
  EXPECT_EQ(ok, (std::vector<bool>{true, true, false, true}));

  auto third = reader.iter_spectra()->nth(2);
  ASSERT_TRUE(third && !*third);
  EXPECT_EQ(third->error().display(),
            "vendor parser error: scanId=3: centroid block: parse error: Truncated MSPeak.bin block");

  auto chromatograms = reader.iter_chromatograms();
  EXPECT_EQ(chromatograms->remaining(), 1u);
  auto item = chromatograms->next();
  ASSERT_TRUE(item && !*item);
  EXPECT_EQ(item->error().display().rfind("vendor parser error: scanId=", 0), 0u);
  EXPECT_FALSE(chromatograms->next());
}

TEST(Source, ScanErrorsAroundIoErrorsAreVendorErrors) {
  CalibratedRun run;  // no data files written
  run.scans({{.scan_id = 1, .centroid = Block{3, 0, 12, 1, 0}}});
  const Reader reader = run.open();
  auto item = reader.iter_spectra()->next();
  ASSERT_TRUE(item && !*item);
  // The Scan error wraps the I/O error, so it arrives as a vendor error.
  EXPECT_EQ(item->error().display(),
            "vendor parser error: scanId=1: centroid block: I/O error: No such file or directory");
}

TEST(Source, Chromatograms) {
  CalibratedRun run;
  const Block peaks = run.peaks.add(3, format3_block({{100.0, 4.0f}, {200.0, 6.0f}}), 2);
  run.write_data();
  run.scans({
      {.scan_id = 1, .retention_time_min = 0.1 / 60.0},
      {.scan_id = 2, .retention_time_min = 1.0, .ms_level = 2, .centroid = peaks},
      {.scan_id = 3, .retention_time_min = 2.0, .tic = 1e300, .base_peak_mz = 1, .base_peak_intensity = 0.1,
       .centroid = peaks},
      {.scan_id = 4, .retention_time_min = 3.0, .centroid = peaks},
  });
  const Reader reader = run.open();
  auto chromatograms = reader.iter_chromatograms();
  auto tic = chromatograms->next();
  auto bpc = chromatograms->next();
  EXPECT_FALSE(chromatograms->next());
  ASSERT_TRUE(tic && *tic && bpc && *bpc);
  EXPECT_EQ((*tic)->id, "TIC");
  EXPECT_EQ((*tic)->index, 0u);
  EXPECT_EQ((*tic)->chromatogram_type, CvTerm::constant("MS:1000235", "total ion current chromatogram"));
  EXPECT_EQ((*bpc)->id, "BPC");
  EXPECT_EQ((*bpc)->chromatogram_type, CvTerm::constant("MS:1000628", "basepeak chromatogram"));
  ASSERT_EQ((*tic)->time_sec.size(), 3u);  // MS1 only
  EXPECT_EQ(static_cast<double>((*tic)->time_sec[0]), 0.100000001490116119384765625);
  EXPECT_EQ((*tic)->time_sec, (*bpc)->time_sec);
  // Scan 1 reports zeros: its recorded TIC and base peak are used as they are.
  EXPECT_EQ((*tic)->intensity[0], 0.0f);
  EXPECT_EQ((*tic)->intensity[1], std::numeric_limits<float>::infinity());  // 1e300 rounded to f32
  EXPECT_EQ((*bpc)->intensity[1], 0.1f);
  EXPECT_EQ((*tic)->intensity[2], 0.0f);
}

TEST(Source, ChromatogramOfAnEmptyMs1ScanWithoutReportedValues) {
  Acquisition a;  // stride 196 has no recorded TIC or base peak
  a.scans({{.scan_id = 1}}, 196);
  const Reader reader = a.open();
  auto chromatograms = reader.iter_chromatograms();
  auto tic = chromatograms->next();
  auto bpc = chromatograms->next();
  ASSERT_TRUE(tic && *tic && bpc && *bpc);
  EXPECT_EQ((*tic)->intensity[0], 0.0f);
  EXPECT_TRUE(std::signbit((*tic)->intensity[0]));
  EXPECT_FALSE(std::signbit((*bpc)->intensity[0]));
}

TEST(Source, OnlyMs2ScansGiveNoChromatograms) {
  Acquisition a;
  a.scans({{.scan_id = 1, .ms_level = 2}, {.scan_id = 2, .ms_level = 2}}, 196);
  const Reader reader = a.open();
  EXPECT_EQ(reader.iter_chromatograms()->remaining(), 0u);
}

TEST(Source, RunMetadata) {
  Acquisition a;
  a.scans({{.scan_id = 1}});
  const lumora::RunMetadata plain = a.open().run_metadata();
  EXPECT_EQ(plain.source_file_name, "run.d");
  EXPECT_EQ(plain.source_file_format, CvTerm::constant("MS:1001509", "Agilent MassHunter format"));
  EXPECT_EQ(plain.native_id_format, CvTerm::constant("MS:1001508", "Agilent MassHunter nativeID format"));
  EXPECT_EQ(plain.software_name, "velorium");
  EXPECT_EQ(plain.software_version, velorium::kSoftwareVersion);
  EXPECT_EQ(plain.software_version, std::to_string(velorium::kVersionMajor) + "." +
                                        std::to_string(velorium::kVersionMinor) + "." +
                                        std::to_string(velorium::kVersionPatch));
  EXPECT_FALSE(plain.start_timestamp);
  EXPECT_TRUE(plain.analyzers.empty());
  EXPECT_EQ(plain.extra, (lumora::TextMap{{"velorium.msscan_header_size", "92"}, {"velorium.msscan_stride", "284"}}));

  a.file("Devices.xml", devices_xml("QTOF", "G6550A"));
  a.file("Contents.xml", std::string_view("<Contents><AcquiredTime>2026-01-02T03:04:05.678+01:00</AcquiredTime></Contents>"));
  const lumora::RunMetadata full = a.open().run_metadata();
  EXPECT_EQ(full.instrument, CvTerm::constant("MS:1002784", "6550A iFunnel Q-TOF LC/MS"));
  EXPECT_EQ(full.start_timestamp, "2026-01-02T03:04:05.678+01:00");
  std::vector<std::string> keys;
  for (const auto& [key, value] : full.extra) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"velorium.device_model", "velorium.device_name",
                                            "velorium.msscan_header_size", "velorium.msscan_stride"}));
  EXPECT_EQ(full.extra.at("velorium.device_name"), "QTOF");
}

// One Reader shared by several threads at once, as a Python Acquisition
// shares it: random access with both preferences, failures reported from
// every thread, and Prefetchers of their own over the same reader.
TEST(SharedReader, ConcurrentRandomAccessAndPrefetchers) {
  using velorium::BlockPreference;
  CalibratedRun run;
  const Block bad_profile = run.profile.add(1, {0x20}, 1, 20);
  const Block bad_peaks{3, 100000, 24, 2, 0};
  std::vector<TestScan> scans;
  for (std::uint32_t i = 0; i < 48; ++i) {
    const std::int32_t v = static_cast<std::int32_t>(i);
    const Block prof = run.profile.add(1, lzf_profile(1.0 + i, 0.5, {v, v + 2, v + 4}), 3, 28);
    const Block cent = run.peaks.add(3, format3_block({{100.0 + i, 1.0f + static_cast<float>(i)}}), 1);
    scans.push_back({.scan_id = 1 + i, .profile = i % 11 == 5 ? bad_profile : prof,
                     .centroid = i % 13 == 7 ? bad_peaks : cent});
  }
  run.write_data();
  run.scans(scans);
  auto reader = std::make_shared<const Reader>(run.open());
  const std::size_t n = reader->scan_count();
  const BlockPreference preferences[] = {BlockPreference::Profile, BlockPreference::Centroid};
  std::vector<velorium::Result<lumora::SpectrumRecord>> expected[2];
  for (int p = 0; p < 2; ++p) {
    for (std::size_t i = 0; i < n; ++i) expected[p].push_back(decode_spectrum(*reader, i, preferences[p]));
  }
  ASSERT_TRUE(expected[0][0] && expected[1][0]);
  EXPECT_NE(expected[0][0]->scan_mode, expected[1][0]->scan_mode);  // the preferences differ

  const auto same = [&](int p, std::size_t i, const velorium::Result<lumora::SpectrumRecord>& got) {
    const auto& want = expected[p][i];
    if (got.has_value() != want.has_value()) return false;
    if (want) return *got == *want;
    return got.error().display() == want.error().display();
  };
  LogCapture capture(Level::Warn);
  std::atomic<std::uint64_t> profile_failures{0}, centroid_failures{0}, mismatches{0};
  const auto count_failure = [&](const velorium::Error& error) {
    (error.as_scan()->block == "centroid" ? centroid_failures : profile_failures).fetch_add(1);
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 4; ++t) {
    threads.emplace_back([&, t, shared = reader] {
      for (std::size_t k = 0; k < 150; ++k) {
        const std::size_t i = (k * 31 + t * 7) % n;
        const int p = static_cast<int>((k + t) % 2);
        auto got = shared->spectrum(i, preferences[p]);
        if (!same(p, i, got)) {
          mismatches.fetch_add(1);
        } else if (!got) {
          count_failure(got.error());
        }
      }
      std::vector<std::size_t> order;
      for (std::size_t k = 0; k < n; ++k) order.push_back((k * 5 + t) % n);
      const int p = static_cast<int>(t % 2);
      velorium::Prefetcher prefetcher(*shared, order, preferences[p], 2, 2);
      for (std::size_t k = 0; k < order.size(); ++k) {
        auto item = prefetcher.next();
        if (!item || !same(p, order[k], *item)) {
          mismatches.fetch_add(1);
        } else if (!*item) {
          count_failure(item->error());
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0u);
  EXPECT_GT(profile_failures.load(), 0u);
  EXPECT_GT(centroid_failures.load(), 0u);
  EXPECT_EQ(reader->profile_failures(), profile_failures.load());
  EXPECT_EQ(reader->centroid_failures(), centroid_failures.load());
  EXPECT_EQ(capture.messages(Level::Warn).size(), 2u);  // one per block kind
}

}  // namespace

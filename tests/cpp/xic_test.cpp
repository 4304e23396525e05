#include "velorium/xic/xic.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include <gtest/gtest.h>

#include "acquisition_builder.hpp"
#include "velorium/prefetch.hpp"
#include "velorium/store/peak_store.hpp"

namespace {

using velorium::BlockPreference;
using velorium::Reader;
using velorium::xic::Aggregate;
using velorium::ScanSelection;
using velorium::xic::ToleranceUnit;
using velorium::xic::Windows;
using namespace velorium::testing;

std::vector<std::size_t> select_scans(const Reader& reader, const ScanSelection& selection) {
  return velorium::select_scans(reader.scan_index(), selection);
}
using velorium::xic::select_scans;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The obvious computation: for each target, every point in spectrum order.
std::vector<double> reference(std::span<const double> targets, double tolerance, ToleranceUnit unit,
                              std::span<const double> mz, std::span<const float> intensity, Aggregate aggregate) {
  std::vector<double> out;
  for (const double m : targets) {
    const double w = unit == ToleranceUnit::Ppm ? tolerance * m * 1e-6 : tolerance;
    std::vector<double> inside;
    for (std::size_t i = 0; i < mz.size(); ++i) {
      if (m - w <= mz[i] && mz[i] <= m + w) inside.push_back(intensity[i]);
    }
    double value = 0.0;
    if (aggregate == Aggregate::Sum) {
      for (const double v : inside) value = value + v;
    } else if (!inside.empty()) {
      value = *std::max_element(inside.begin(), inside.end());
      for (const double v : inside) {
        if (std::isnan(v)) value = kNaN;
      }
    }
    out.push_back(value);
  }
  return out;
}

bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

std::vector<double> extract(const Windows& windows, std::span<const double> mz, std::span<const float> intensity,
                            Aggregate aggregate) {
  std::vector<double> out(windows.size(), -1.0);
  velorium::xic::extract_spectrum(windows, mz, intensity, aggregate, out.data(), 1);
  return out;
}

void expect_reference(std::span<const double> targets, double tolerance, ToleranceUnit unit,
                      std::span<const double> mz, std::span<const float> intensity, const std::string& label) {
  auto windows = Windows::make(targets, tolerance, unit);
  ASSERT_TRUE(windows) << windows.error().display();
  for (const Aggregate aggregate : {Aggregate::Sum, Aggregate::Max}) {
    const auto got = extract(*windows, mz, intensity, aggregate);
    const auto want = reference(targets, tolerance, unit, mz, intensity, aggregate);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t t = 0; t < got.size(); ++t) {
      ASSERT_TRUE(same(got[t], want[t])) << label << (aggregate == Aggregate::Sum ? " sum" : " max") << " target "
                                         << t << " (" << targets[t] << "): " << got[t] << " != " << want[t];
    }
  }
}

// The argument an InvalidArgument error names, or a note that it is none.
std::string argument_of(const velorium::Error& error) {
  return error.is_invalid_argument() ? std::string(error.as_invalid_argument()->argument)
                                     : "not an InvalidArgument: " + error.display();
}

TEST(XicWindows, ValidationNamesTheArgument) {
  const std::vector<double> good{100.0, 0.0, 250.5};
  EXPECT_TRUE(Windows::make(good, 0.0, ToleranceUnit::Ppm));
  EXPECT_TRUE(Windows::make({}, 5.0, ToleranceUnit::Mz));
  for (const double bad : {kNaN, kInf, -kInf, -1.0, -1e-300}) {
    auto w = Windows::make(good, bad, ToleranceUnit::Ppm);
    ASSERT_FALSE(w);
    EXPECT_EQ(argument_of(w.error()), "tolerance");
    const std::vector<double> targets{100.0, 200.0, bad};
    w = Windows::make(targets, 10.0, ToleranceUnit::Mz);
    ASSERT_FALSE(w);
    EXPECT_EQ(argument_of(w.error()), "targets");
    EXPECT_NE(w.error().display().find("item 2"), std::string::npos) << w.error().display();
  }
  // The tolerance is checked first, even with bad targets.
  const std::vector<double> nan_target{kNaN};
  EXPECT_EQ(argument_of(Windows::make(nan_target, -1.0, ToleranceUnit::Mz).error()), "tolerance");
}

TEST(XicWindows, BoundsAndSortedOrder) {
  const std::vector<double> targets{500.0, 100.0, 500.0, 300.0};
  auto ppm = Windows::make(targets, 20.0, ToleranceUnit::Ppm);
  ASSERT_TRUE(ppm);
  ASSERT_EQ(ppm->size(), 4u);
  const std::vector<std::size_t> order{1, 3, 0, 2};  // ascending, duplicates in the given order
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(ppm->target(k), order[k]);
    const double m = targets[order[k]];
    EXPECT_EQ(ppm->low(k), m - 20.0 * m * 1e-6);
    EXPECT_EQ(ppm->high(k), m + 20.0 * m * 1e-6);
  }
  auto mz = Windows::make(targets, 0.25, ToleranceUnit::Mz);
  EXPECT_EQ(mz->low(0), 99.75);
  EXPECT_EQ(mz->high(3), 500.25);
}

TEST(XicSpectrum, HandMadeCases) {
  // Sorted, with a duplicated m/z value and points on both bounds of [99.5, 100.5].
  const std::vector<double> mz{99.0, 99.5, 100.0, 100.0, 100.5, 101.0, 200.0};
  const std::vector<float> in{1.0f, 2.0f, 4.0f, 8.0f, 16.0f, 32.0f, 64.0f};
  const std::vector<double> targets{100.0, 100.5, 150.0, 200.0, 100.0};
  auto windows = Windows::make(targets, 0.5, ToleranceUnit::Mz);
  EXPECT_EQ(extract(*windows, mz, in, Aggregate::Sum), (std::vector<double>{30.0, 60.0, 0.0, 64.0, 30.0}));
  EXPECT_EQ(extract(*windows, mz, in, Aggregate::Max), (std::vector<double>{16.0, 32.0, 0.0, 64.0, 16.0}));
  // Zero tolerance takes exactly the points at the target.
  windows = Windows::make(targets, 0.0, ToleranceUnit::Ppm);
  EXPECT_EQ(extract(*windows, mz, in, Aggregate::Sum), (std::vector<double>{12.0, 16.0, 0.0, 64.0, 12.0}));
  // The same points in another order: the same sets, added in the new order.
  const std::vector<double> shuffled{200.0, 100.0, 99.0, kNaN, 100.5, 100.0, 101.0};
  const std::vector<float> shuffled_in{64.0f, 8.0f, 1.0f, 1000.0f, 16.0f, 4.0f, 32.0f};
  EXPECT_EQ(extract(*windows, shuffled, shuffled_in, Aggregate::Sum), (std::vector<double>{12.0, 16.0, 0.0, 64.0, 12.0}));
  // An empty spectrum, and intensities longer than the m/z values.
  EXPECT_EQ(extract(*windows, {}, {}, Aggregate::Max), (std::vector<double>(5, 0.0)));
  const std::vector<double> one{100.0};
  EXPECT_EQ(extract(*windows, one, in, Aggregate::Sum), (std::vector<double>{1.0, 0.0, 0.0, 0.0, 1.0}));
  // A single NaN m/z is in no window.
  const std::vector<double> nan{kNaN};
  EXPECT_EQ(extract(*windows, nan, in, Aggregate::Max), (std::vector<double>(5, 0.0)));
}

TEST(XicSpectrum, AdditionOrderIsTheSpectrumOrder) {
  // Added in this order the ones are lost against 1e17; in any other order
  // some survive.
  std::vector<double> mz{100.0, 100.0, 100.0, 100.0};
  std::vector<float> in{1e17f, 1.0f, 1.0f, -1e17f};
  const std::vector<double> targets{100.0};
  auto windows = Windows::make(targets, 1.0, ToleranceUnit::Ppm);
  const double in_order = ((static_cast<double>(in[0]) + 1.0) + 1.0) + static_cast<double>(in[3]);
  EXPECT_EQ(extract(*windows, mz, in, Aggregate::Sum)[0], in_order);
  // Unsorted spectrum, same points in the window: still the spectrum's order.
  mz = {100.0, 100.0, 50.0, 100.0, 100.0};
  in = {1e17f, 1.0f, 7.0f, 1.0f, -1e17f};
  EXPECT_EQ(extract(*windows, mz, in, Aggregate::Sum)[0], in_order);
  // Different m/z values whose ascending order is not the spectrum's.
  mz = {99.99997, 100.00001, 50.0, 100.00002, 99.99998};
  EXPECT_EQ(extract(*windows, mz, in, Aggregate::Sum)[0], in_order);
  const double big = static_cast<double>(1e17f);
  EXPECT_NE(in_order, ((big - big) + 1.0) + 1.0);  // the sum in ascending m/z order
}

TEST(XicSpectrum, MaxPropagatesNaNAndKeepsNegatives) {
  const std::vector<double> mz{10.0, 10.0, 10.0, 20.0, 20.0};
  const std::vector<float> in{-3.0f, std::numeric_limits<float>::quiet_NaN(), 5.0f, -2.0f, -1.0f};
  const std::vector<double> targets{10.0, 20.0, 30.0};
  auto windows = Windows::make(targets, 0.0, ToleranceUnit::Mz);
  const auto max = extract(*windows, mz, in, Aggregate::Max);
  EXPECT_TRUE(std::isnan(max[0]));
  EXPECT_EQ(max[1], -1.0);
  EXPECT_EQ(max[2], 0.0);
  EXPECT_TRUE(std::isnan(extract(*windows, mz, in, Aggregate::Sum)[0]));
}

// Random spectra of every shape against the reference: sorted profiles,
// sorted with repeated values, shuffled, shuffled with NaN; targets drawn
// partly from the points themselves (windows on exact values), duplicated,
// overlapping, and outside the range.
TEST(XicSpectrum, RandomSpectraMatchTheReference) {
  std::mt19937_64 rng(1234);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (int round = 0; round < 300; ++round) {
    const std::size_t n = round % 10 == 0 ? round % 3 : 1 + rng() % 3000;
    std::vector<double> mz(n);
    std::vector<float> in(n);
    double x = 50.0 + 10.0 * uniform(rng);
    const int shape = round % 4;
    for (std::size_t i = 0; i < n; ++i) {
      x += shape == 1 && rng() % 4 == 0 ? 0.0 : 0.002 + 0.3 * uniform(rng) * uniform(rng);
      mz[i] = x;
      in[i] = static_cast<float>(std::exp(12.0 * uniform(rng)) * (rng() % 7 == 0 ? 0.0 : 1.0));
      if (rng() % 50 == 0) in[i] = 1e7f * static_cast<float>(uniform(rng));
    }
    if (shape >= 2) std::shuffle(mz.begin(), mz.end(), rng);
    if (shape == 3 && n > 0) {
      for (int k = 0; k < 3; ++k) mz[rng() % n] = kNaN;
    }
    std::vector<double> targets;
    const std::size_t t_count = rng() % 400;
    for (std::size_t t = 0; t < t_count; ++t) {
      const auto pick = rng() % 5;
      if (pick == 0 && n > 0) {
        targets.push_back(mz[rng() % n]);
      } else if (pick == 1 && !targets.empty()) {
        targets.push_back(targets[rng() % targets.size()]);
      } else {
        targets.push_back(40.0 + (x - 30.0) * uniform(rng));
      }
    }
    std::erase_if(targets, [](double v) { return std::isnan(v); });
    const std::string label = "round " + std::to_string(round) + " shape " + std::to_string(shape);
    expect_reference(targets, 0.0, ToleranceUnit::Mz, mz, in, label + " exact");
    expect_reference(targets, 5.0 + 200.0 * uniform(rng), ToleranceUnit::Ppm, mz, in, label + " ppm");
    expect_reference(targets, 0.5 * uniform(rng), ToleranceUnit::Mz, mz, in, label + " mz");
    expect_reference(targets, 3.0, ToleranceUnit::Mz, mz, in, label + " wide");
  }
}

// A run of profile MS1 scans and centroid MS2 scans (some unsorted, with NaN
// m/z), with a bad block where the tests ask for one.
struct XicRun {
  TempDir dir;
  std::filesystem::path root = dir / "run.d";
  DataFile profile, peaks;
  std::vector<TestScan> scans;

  explicit XicRun(std::size_t count, std::optional<std::size_t> bad_ms1 = std::nullopt,
                  std::optional<std::size_t> bad_ms2 = std::nullopt) {
    std::mt19937_64 rng(99);
    const Block bad_profile = profile.add(1, {0x20}, 1, 20);  // a back reference into nothing
    for (std::size_t i = 0; i < count; ++i) {
      TestScan scan{.scan_id = static_cast<std::uint32_t>(100 + i), .retention_time_min = 0.01 * static_cast<double>(i)};
      if (i % 3 == 2) {
        scan.ms_level = 2;
        std::vector<std::pair<double, float>> points;
        for (int k = 0; k < 40; ++k) {
          const double m = k % 13 == 12 ? kNaN : 100.0 + static_cast<double>(rng() % 2000) * 0.25;
          points.emplace_back(m, static_cast<float>(rng() % 1000));
        }
        if (i % 2 == 0) std::sort(points.begin(), points.end());
        scan.centroid = bad_ms2 == i ? Block{3, 1 << 20, 24, 2, 0} : peaks.add(3, format3_block(points), 40);
      } else {
        std::vector<std::int32_t> counts(500);
        for (auto& c : counts) c = static_cast<std::int32_t>(rng() % 50 == 0 ? rng() % 100000 : rng() % 20);
        // A calibration of A = 2, T0 = 0 maps the flight time x to (2x)^2: m/z 100 to 399.
        scan.profile = bad_ms1 == i ? bad_profile : profile.add(1, lzf_profile(5.0, 0.01, counts), 500, 16 + 2000);
      }
      scans.push_back(scan);
    }
    const auto acq = root / "AcqData";
    write_file(acq / "MSScan.bin", msscan_image(scans, 284));
    write_file(acq / "MSProfile.bin", profile.bytes());
    write_file(acq / "MSPeak.bin", peaks.bytes());
    write_file(acq / "DefaultMassCal.xml", default_masscal({{1, 2.0, 0.0}}));
  }

  Reader open() const {
    auto reader = Reader::open(root);
    EXPECT_TRUE(reader) << reader.error().display();
    return std::move(*reader);
  }
};

TEST(XicReader, SelectsFromTheScanIndex) {
  const XicRun run(12);
  const Reader reader = run.open();
  EXPECT_EQ(select_scans(reader, ScanSelection::level(1)), (std::vector<std::size_t>{0, 1, 3, 4, 6, 7, 9, 10}));
  EXPECT_EQ(select_scans(reader, ScanSelection::level(2)), (std::vector<std::size_t>{2, 5, 8, 11}));
  const double rt3 = reader.scan(3).retention_time_sec();
  const double rt7 = reader.scan(7).retention_time_sec();
  EXPECT_EQ(select_scans(reader, ScanSelection{.rt_range_sec = std::pair{rt3, rt7}}),
            (std::vector<std::size_t>{3, 4, 5, 6, 7}));
  EXPECT_TRUE(select_scans(reader, ScanSelection::level(3)).empty());
}

TEST(XicReader, EveryCellAsTheReferenceWhateverTheThreads) {
  const XicRun run(30);
  const Reader reader = run.open();
  std::vector<double> targets;
  for (int k = 0; k < 450; ++k) targets.push_back(99.0 + 0.7 * k);
  for (int k = 0; k < 60; ++k) targets.push_back(100.0 + 0.25 * k);  // centroid values
  targets.push_back(targets[5]);
  for (const Aggregate aggregate : {Aggregate::Sum, Aggregate::Max}) {
    for (const ToleranceUnit unit : {ToleranceUnit::Ppm, ToleranceUnit::Mz}) {
      const double tolerance = unit == ToleranceUnit::Ppm ? 800.0 : 0.3;
      auto windows = Windows::make(targets, tolerance, unit);
      ASSERT_TRUE(windows);
      for (const auto& selection : {ScanSelection::level(1), ScanSelection::level(2), ScanSelection{}}) {
        const auto indices = select_scans(reader, selection);
        std::vector<double> expected(targets.size() * indices.size());
        std::size_t nonzero = 0;
        for (std::size_t s = 0; s < indices.size(); ++s) {
          const auto spectrum = reader.spectrum(indices[s]);
          ASSERT_TRUE(spectrum);
          const auto column = reference(targets, tolerance, unit, spectrum->mz, spectrum->intensity, aggregate);
          for (std::size_t t = 0; t < targets.size(); ++t) {
            expected[t * indices.size() + s] = column[t];
            nonzero += column[t] != 0.0;
          }
        }
        ASSERT_GT(nonzero, indices.size());  // the windows do catch points
        for (const unsigned threads : {1u, 2u, 3u, 8u, 0u}) {
          velorium::set_default_threads(threads == 0 ? 5 : 0);
          auto result = velorium::xic::extract(reader, indices, *windows, aggregate, BlockPreference::Profile, threads);
          velorium::set_default_threads(0);
          ASSERT_TRUE(result) << result.error().display();
          ASSERT_EQ(result->targets, targets.size());
          ASSERT_EQ(result->scans(), indices.size());
          for (std::size_t s = 0; s < indices.size(); ++s) {
            EXPECT_EQ(result->retention_time_sec[s], reader.spectrum(indices[s])->retention_time_sec);
          }
          for (std::size_t c = 0; c < expected.size(); ++c) {
            ASSERT_TRUE(same(result->values[c], expected[c])) << "cell " << c << " threads " << threads;
          }
        }
      }
    }
  }
}

TEST(XicReader, NoScansOrNoTargets) {
  const XicRun run(6);
  const Reader reader = run.open();
  const std::vector<double> targets{110.0, 111.0};
  auto windows = Windows::make(targets, 10.0, ToleranceUnit::Ppm);
  auto none = velorium::xic::extract(reader, {}, *windows, Aggregate::Sum);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->targets, 2u);
  EXPECT_EQ(none->scans(), 0u);
  EXPECT_TRUE(none->values.empty());
  auto no_targets = Windows::make({}, 10.0, ToleranceUnit::Ppm);
  const std::vector<std::size_t> indices{0, 1, 3};
  auto empty = velorium::xic::extract(reader, indices, *no_targets, Aggregate::Max);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->targets, 0u);
  EXPECT_EQ(empty->scans(), 3u);
  EXPECT_TRUE(empty->values.empty());
}

TEST(XicReader, FirstFailingSelectedScanIsReportedOnce) {
  const XicRun run(40, 19, 8);  // scan 19 (MS1) and scan 8 (MS2) fail
  const Reader reader = run.open();
  const std::vector<double> targets{110.0};
  auto windows = Windows::make(targets, 10.0, ToleranceUnit::Ppm);
  const std::string expected = "scanId=119: profile block: parse error: LZF: invalid back reference";
  std::uint64_t failures = 0;
  for (const unsigned threads : {1u, 2u, 4u, 8u}) {
    LogCapture capture;
    auto result =
        velorium::xic::extract(reader, select_scans(reader, ScanSelection::level(1)), *windows, Aggregate::Sum,
                               BlockPreference::Profile, threads);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().display(), expected) << threads;
    EXPECT_EQ(reader.profile_failures(), ++failures);  // counted once per call
    EXPECT_EQ(reader.centroid_failures(), 0u);         // the MS2 scan is not selected
    EXPECT_EQ(capture.records().size(), 1u);
  }
  // Every scan: the centroid block of scan 8 comes first.
  auto all = velorium::xic::extract(reader, select_scans(reader, ScanSelection{}), *windows,
                                    Aggregate::Sum, BlockPreference::Profile, 4);
  ASSERT_FALSE(all);
  EXPECT_EQ(all.error().display().substr(0, 28), "scanId=108: centroid block: ");
  // Scans before the failing one alone succeed.
  const std::vector<std::size_t> before{0, 1, 3, 4};
  EXPECT_TRUE(velorium::xic::extract(reader, before, *windows, Aggregate::Sum));
}

TEST(XicStore, SameCellsAsDecodingWhateverTheThreads) {
  const XicRun run(30);
  const Reader reader = run.open();
  std::vector<std::size_t> all(reader.scan_count());
  std::iota(all.begin(), all.end(), std::size_t{0});
  auto store = velorium::store::build_store(reader, all, BlockPreference::Profile, 2);
  ASSERT_TRUE(store);
  std::vector<double> targets;
  for (int k = 0; k < 300; ++k) targets.push_back(100.0 + 1.01 * k);
  targets.push_back(targets[7]);
  for (const Aggregate aggregate : {Aggregate::Sum, Aggregate::Max}) {
    auto windows = Windows::make(targets, 0.2, ToleranceUnit::Mz);
    for (const auto& selection : {ScanSelection::level(1), ScanSelection::level(2),
                                  ScanSelection{.rt_range_sec = std::pair{1.2, 6.0}}}) {
      const auto positions = select_scans(**store, selection);
      ASSERT_EQ(positions, select_scans(reader, selection));  // the store holds every scan in index order
      ASSERT_FALSE(positions.empty());
      auto decoded = velorium::xic::extract(reader, positions, *windows, aggregate, BlockPreference::Profile, 1);
      ASSERT_TRUE(decoded);
      ASSERT_GT(std::count_if(decoded->values.begin(), decoded->values.end(), [](double v) { return v != 0.0; }),
                static_cast<long>(positions.size()));
      for (const unsigned threads : {1u, 2u, 5u}) {
        const auto stored = velorium::xic::extract(**store, positions, *windows, aggregate, threads);
        EXPECT_EQ(stored.targets, targets.size());
        EXPECT_EQ(stored.retention_time_sec, decoded->retention_time_sec);
        ASSERT_EQ(stored.values.size(), decoded->values.size());
        for (std::size_t c = 0; c < stored.values.size(); ++c) {
          ASSERT_TRUE(same(stored.values[c], decoded->values[c])) << "cell " << c << " threads " << threads;
        }
      }
    }
  }
  const auto none = velorium::xic::extract(**store, {}, *Windows::make(targets, 1.0, ToleranceUnit::Ppm),
                                           Aggregate::Sum);
  EXPECT_EQ(none.scans(), 0u);
  EXPECT_TRUE(none.values.empty());
}

// The store records, per spectrum, whether its m/z values ascend without a
// NaN, and extraction from the store trusts that record: a spectrum wrongly
// taken for ascending would be swept with searches that miss its points.
TEST(XicStore, RecordsWhichSpectraAscendAndKeepsTheReferenceCells) {
  TempDir dir;
  const auto acq = dir / "run.d" / "AcqData";
  DataFile profile, peaks;
  const auto centroid = [&](const std::vector<std::pair<double, float>>& points) {
    return peaks.add(3, format3_block(points), static_cast<std::uint32_t>(points.size()));
  };
  struct Case {
    std::optional<Block> profile, centroid;
    bool ascending;
  };
  const std::vector<Case> cases = {
      {std::nullopt, centroid({{100.0, 1.0f}, {100.5, 2.0f}, {100.5, 4.0f}, {101.0, 8.0f}}), true},  // ties
      {std::nullopt, centroid({{101.0, 1.0f}, {100.0, 2.0f}, {102.0, 4.0f}}), false},
      {std::nullopt, centroid({{100.0, 1.0f}, {100.2, 2.0f}, {101.0, 4.0f}, {100.9, 8.0f}}), false},  // last step
      {std::nullopt, centroid({{100.0, 1.0f}, {101.0, 2.0f}, {kNaN, 4.0f}}), false},
      {std::nullopt, centroid({{kNaN, 16.0f}, {100.0, 1.0f}, {101.0, 2.0f}}), false},
      {std::nullopt, centroid({{kNaN, 16.0f}}), false},
      {std::nullopt, centroid({{100.0, 32.0f}}), true},
      {std::nullopt, centroid({}), true},          // a block of no points
      {std::nullopt, std::nullopt, true},          // no block at all
      {profile.add(1, lzf_profile(5.0, 0.001, {3, 1, 4, 1, 5, 9, 2, 6}), 8, 16 + 32), std::nullopt, true},
      {std::nullopt, centroid({{101.0, 64.0f}, {kNaN, 1.0f}, {100.0, 2.0f}, {100.0, 128.0f}}), false},
  };
  std::vector<TestScan> scans;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    scans.push_back({.scan_id = static_cast<std::uint32_t>(i + 1), .retention_time_min = 0.1 * static_cast<double>(i),
                     .profile = cases[i].profile, .centroid = cases[i].centroid});
  }
  write_file(acq / "MSScan.bin", msscan_image(scans, 284));
  write_file(acq / "MSProfile.bin", profile.bytes());
  write_file(acq / "MSPeak.bin", peaks.bytes());
  write_file(acq / "DefaultMassCal.xml", default_masscal({{1, 2.0, 0.0}}));
  auto reader = Reader::open(dir / "run.d");
  ASSERT_TRUE(reader) << reader.error().display();
  std::vector<std::size_t> all(cases.size());
  std::iota(all.begin(), all.end(), std::size_t{0});
  std::vector<double> targets{100.0, 100.5, 100.9, 101.0, 102.0};
  for (std::size_t k = 0; k < 8; ++k) {
    const auto spectrum = reader->spectrum(9);
    ASSERT_TRUE(spectrum);
    ASSERT_EQ(spectrum->mz.size(), 8u);
    targets.push_back(spectrum->mz[k]);  // the profile scan's points
  }
  for (const unsigned build_threads : {1u, 3u}) {
    auto store = velorium::store::build_store(*reader, all, BlockPreference::Profile, build_threads);
    ASSERT_TRUE(store);
    ASSERT_EQ((*store)->size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
      EXPECT_EQ((*store)->ascending(i), cases[i].ascending) << "spectrum " << i;
      EXPECT_EQ(velorium::store::ascends((*store)->mz(i)), cases[i].ascending) << "spectrum " << i;
    }
    EXPECT_TRUE((*store)->mz(7).empty());
    EXPECT_TRUE((*store)->mz(8).empty());
    for (const Aggregate aggregate : {Aggregate::Sum, Aggregate::Max}) {
      for (const double tolerance : {0.0, 0.05, 0.6}) {
        auto windows = Windows::make(targets, tolerance, ToleranceUnit::Mz);
        ASSERT_TRUE(windows);
        const auto got = velorium::xic::extract(**store, all, *windows, aggregate, 2);
        ASSERT_EQ(got.values.size(), targets.size() * all.size());
        for (std::size_t s = 0; s < all.size(); ++s) {
          const auto spectrum = reader->spectrum(s);
          ASSERT_TRUE(spectrum);
          const auto want = reference(targets, tolerance, ToleranceUnit::Mz, spectrum->mz, spectrum->intensity,
                                      aggregate);
          for (std::size_t t = 0; t < targets.size(); ++t) {
            EXPECT_TRUE(same(got.values[t * all.size() + s], want[t]))
                << "spectrum " << s << " target " << targets[t] << " tolerance " << tolerance << ": "
                << got.values[t * all.size() + s] << " != " << want[t];
          }
        }
      }
    }
  }
}

}  // namespace

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "velorium/raw/calibrations.hpp"

namespace {

using velorium::raw::CalibrationList;
using velorium::raw::load_calibrations;
using velorium::raw::polynomial_flags;
using velorium::log::Level;
using velorium::raw::calibration::CalibrationSource;
using velorium::raw::defaultmasscal::DefaultCalibration;
using velorium::ScanIndex;
using velorium::ScanRecord;
using velorium::testing::Bytes;
using velorium::testing::CapturedRecord;
using velorium::testing::LogCapture;
using velorium::testing::TempDir;
using velorium::testing::write_file;

using Poly = std::array<double, 8>;
constexpr std::string_view kReader = "velorium::reader";
constexpr Poly kPoly = {10, 20, 1, 2, 0, 0, 0, 0};

struct Entry {
  int id;
  double a;
  double t0;
  Poly poly;
  std::uint32_t flags;
};

std::string default_xml(const std::vector<Entry>& entries) {
  const auto value = [](int number, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return "<Value Number=\"" + std::to_string(number) + "\">" + buf + "</Value>";
  };
  std::string out = "<?xml version=\"1.0\"?><Calibrations>";
  for (const Entry& e : entries) {
    out += "<DefaultCalibration DefaultCalibrationID=\"" + std::to_string(e.id) + "\">";
    out += "<Step><CalibrationFormula>Traditional</CalibrationFormula><ValueUseFlags>0</ValueUseFlags>"
           "<NumberOfCoefficients>2</NumberOfCoefficients><Values>" +
           value(1, e.a) + value(2, e.t0) + "</Values></Step>";
    out += "<Step><CalibrationFormula>Polynomial</CalibrationFormula><ValueUseFlags>" + std::to_string(e.flags) +
           "</ValueUseFlags><NumberOfCoefficients>8</NumberOfCoefficients><Values>";
    for (int i = 0; i < 8; ++i) out += value(i + 1, e.poly[static_cast<std::size_t>(i)]);
    out += "</Values></Step></DefaultCalibration>";
  }
  return out + "</Calibrations>";
}

Bytes masscal_bin(const std::vector<std::vector<double>>& records) {
  Bytes file(72);
  for (const auto& r : records) {
    file.u32(static_cast<std::uint32_t>(r.size()));
    for (std::size_t i = 0; i < 10; ++i) file.f64(i < r.size() ? r[i] : 0.0);
  }
  return file;
}

std::vector<double> record(double a, double t0, Poly poly) {
  std::vector<double> out = {a, t0};
  out.insert(out.end(), poly.begin(), poly.end());
  return out;
}

ScanIndex scans(std::vector<std::optional<std::int32_t>> ids, std::uint32_t stride = 284) {
  ScanIndex out;
  out.stride = stride;
  out.global_header_size = 92;
  std::uint32_t scan_id = 1;
  for (const auto id : ids) {
    ScanRecord r;
    r.scan_id = scan_id++;
    r.ms_level = 1;
    r.calibration_id = id;
    out.records.push_back(r);
  }
  return out;
}

CapturedRecord warn(std::string m) { return {std::string(kReader), Level::Warn, "run: " + m}; }
CapturedRecord debug(std::string m) { return {std::string(kReader), Level::Debug, "run: " + m}; }
CapturedRecord info(std::string m) { return {std::string(kReader), Level::Info, "run: " + m}; }

std::vector<std::uint32_t> powers(const velorium::raw::calibration::TofCalibration& c) {
  std::vector<std::uint32_t> out;
  for (const auto& t : c.polynomial.terms()) out.push_back(t.power);
  return out;
}

const std::string kUsing = "; using DefaultMassCal.xml";
const std::string kNoMatch =
    "parse error: MSMassCal.bin Polynomial values match no DefaultMassCal.xml entry, so their ValueUseFlags are unknown";

TEST(LoadCalibrations, TripleQuadrupoleLayoutsReadNothing) {
  const TempDir dir;
  write_file(dir / "DefaultMassCal.xml", default_xml({{1, 0.5, 1, kPoly, 5}}));
  write_file(dir / "MSMassCal.bin", masscal_bin({record(0.5, 1, kPoly)}));
  LogCapture capture;
  for (const std::uint32_t stride : {196u, 186u}) {
    EXPECT_TRUE(load_calibrations(dir.path(), scans({1}, stride), "run").empty());
  }
  EXPECT_TRUE(capture.records().empty());
}

TEST(LoadCalibrations, BothFilesAbsent) {
  const TempDir dir;
  LogCapture capture;
  const CalibrationList list = load_calibrations(dir.path(), scans({7, std::nullopt, -2}), "run");
  ASSERT_EQ(list.size(), 3u);
  for (const auto& element : list) EXPECT_FALSE(element);
  const std::string none = "no calibration: parse error: no DefaultMassCal.xml entry for CalibrationID ";
  EXPECT_EQ(capture.records(), (std::vector<CapturedRecord>{
                                   warn("DefaultMassCal.xml not found"),
                                   warn("scan index 0: " + none + "Some(7)"),
                                   debug("scan index 1: " + none + "None"),
                                   debug("scan index 2: " + none + "Some(-2)"),
                                   warn("3 scans have no usable mass calibration"),
                               }));
}

TEST(LoadCalibrations, RecordsTakeTheirFlagsFromTheDefaults) {
  const TempDir dir;
  // Equal polynomial values, different flags: the scan's identifier picks
  // the entry; an identifier that names neither takes the first match.
  const Poly poly = {10, 20, 1, 2, 0, 0, 0, 0};
  write_file(dir / "DefaultMassCal.xml", default_xml({{1, 0.5, 1, poly, 3}, {2, 0.5, 1, poly, 5}}));
  Poly close = poly;
  for (double& v : close) v *= 1 + 1e-13;
  Poly far = poly;
  far[3] *= 1 + 1e-11;
  write_file(dir / "MSMassCal.bin", masscal_bin({record(0.25, 3, poly), record(0.25, 3, poly), record(0.25, 3, close),
                                                 record(0.25, 3, far), record(0.25, 3, {0, 0, 0, 0, 0, 0, 0, 0})}));
  LogCapture capture;
  const CalibrationList list = load_calibrations(dir.path(), scans({2, 9, std::nullopt, 1, 5}), "run");
  ASSERT_EQ(list.size(), 5u);
  for (std::size_t i : {0u, 1u, 2u, 4u}) {
    ASSERT_TRUE(list[i]) << i;
    EXPECT_EQ(list[i]->source, CalibrationSource::MassCalRecord) << i;
    EXPECT_EQ(list[i]->a, 0.25) << i;  // the record's own values
    EXPECT_EQ(list[i]->t0, 3.0) << i;
  }
  EXPECT_EQ(powers(*list[0]), (std::vector<std::uint32_t>{0, 2}));
  EXPECT_EQ(powers(*list[1]), (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(powers(*list[2]), (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(list[2]->polynomial.range_low(), close[0]);
  EXPECT_TRUE(powers(*list[4]).empty());  // all-zero coefficients need no flags

  // A relative difference of 1e-11 matches nothing: the scan falls back.
  ASSERT_TRUE(list[3]);
  EXPECT_EQ(list[3]->source, CalibrationSource::DefaultMassCal);
  EXPECT_EQ(list[3]->a, 0.5);
  EXPECT_EQ(powers(*list[3]), (std::vector<std::uint32_t>{0, 1}));
  EXPECT_EQ(capture.records(), (std::vector<CapturedRecord>{
                                   warn("scan index 3: " + kNoMatch + kUsing),
                                   warn("1 scans fell back to DefaultMassCal.xml"),
                               }));
}

TEST(LoadCalibrations, RejectedRecordsFallBackAndAreCounted) {
  const TempDir dir;
  write_file(dir / "DefaultMassCal.xml", default_xml({{1, 0.5, 1, kPoly, 5}}));
  write_file(dir / "MSMassCal.bin",
             masscal_bin({record(0, 12.5, kPoly), record(2, 1, {5, 4, 0, 0, 0, 0, 0, 0}), {1, 2, 3},
                          record(2, 1, {1, 2, 3, 0, 0, 0, 0, 0}), record(2, 1, kPoly)}));
  LogCapture capture;
  const CalibrationList list = load_calibrations(dir.path(), scans({1, 1, 1, 4, 1}), "run");
  ASSERT_EQ(list.size(), 5u);
  for (std::size_t i : {0u, 1u, 2u}) {
    ASSERT_TRUE(list[i]);
    EXPECT_EQ(list[i]->source, CalibrationSource::DefaultMassCal);
  }
  EXPECT_FALSE(list[3]);
  ASSERT_TRUE(list[4]);
  EXPECT_EQ(list[4]->source, CalibrationSource::MassCalRecord);
  EXPECT_EQ(capture.records(),
            (std::vector<CapturedRecord>{
                warn("scan index 0: parse error: invalid Traditional calibration coefficients A=0, T0=12.5" + kUsing),
                debug("scan index 1: parse error: Polynomial calibration range is inverted: 5 > 4" + kUsing),
                debug("scan index 2: " + kNoMatch + kUsing),
                debug("scan index 3: " + kNoMatch + kUsing),
                warn("scan index 3: no calibration: parse error: no DefaultMassCal.xml entry for CalibrationID Some(4)"),
                warn("4 scans fell back to DefaultMassCal.xml"),
                warn("1 scans have no usable mass calibration"),
            }));
}

TEST(LoadCalibrations, UnusableRecordFiles) {
  const TempDir dir;
  write_file(dir / "DefaultMassCal.xml", default_xml({{1, 0.5, 1, kPoly, 5}}));
  LogCapture capture;
  const auto expect_defaults = [](const CalibrationList& list, std::size_t n) {
    ASSERT_EQ(list.size(), n);
    for (const auto& element : list) {
      ASSERT_TRUE(element);
      EXPECT_EQ(element->source, CalibrationSource::DefaultMassCal);
    }
  };

  expect_defaults(load_calibrations(dir.path(), scans({1, 1}), "run"), 2);
  EXPECT_EQ(capture.records(), (std::vector<CapturedRecord>{info("MSMassCal.bin not found" + kUsing)}));

  // One record fewer than scans: ignored as a whole, nothing falls back.
  capture.clear();
  write_file(dir / "MSMassCal.bin", masscal_bin({record(2, 1, kPoly)}));
  expect_defaults(load_calibrations(dir.path(), scans({1, 1}), "run"), 2);
  EXPECT_EQ(capture.records(), (std::vector<CapturedRecord>{warn(
                                   "MSMassCal.bin has 1 records but MSScan.bin has 2 scans" + kUsing)}));

  capture.clear();
  write_file(dir / "MSMassCal.bin", Bytes(71));
  expect_defaults(load_calibrations(dir.path(), scans({1}), "run"), 1);
  EXPECT_EQ(capture.records(),
            (std::vector<CapturedRecord>{warn("MSMassCal.bin: parse error: MSMassCal.bin is 71 bytes, shorter than "
                                              "its 72-byte header" + kUsing)}));

  capture.clear();
  std::filesystem::remove(dir / "MSMassCal.bin");
  std::filesystem::create_directory(dir / "MSMassCal.bin");
  expect_defaults(load_calibrations(dir.path(), scans({1}), "run"), 1);
  EXPECT_EQ(capture.records(),
            (std::vector<CapturedRecord>{warn("MSMassCal.bin: I/O error: Is a directory" + kUsing)}));
}

TEST(LoadCalibrations, UnusableDefaultFiles) {
  const TempDir dir;
  LogCapture capture;
  // Without default entries, a missing MSMassCal.bin is not mentioned and a
  // record with all-zero coefficients is still used.
  write_file(dir / "DefaultMassCal.xml", "<Root/>");
  CalibrationList list = load_calibrations(dir.path(), scans({1}), "run");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_FALSE(list[0]);
  EXPECT_EQ(capture.records(), (std::vector<CapturedRecord>{
                                   warn("parse error: DefaultMassCal.xml: no DefaultCalibration entries"),
                                   warn("scan index 0: no calibration: parse error: no DefaultMassCal.xml entry for "
                                        "CalibrationID Some(1)"),
                                   warn("1 scans have no usable mass calibration"),
                               }));

  capture.clear();
  write_file(dir / "DefaultMassCal.xml", std::string("<Root>\xFF</Root>"));
  write_file(dir / "MSMassCal.bin", masscal_bin({record(2, 1, {0, 10, 0, 0, 0, 0, 0, 0})}));
  list = load_calibrations(dir.path(), scans({1}), "run");
  ASSERT_EQ(list.size(), 1u);
  ASSERT_TRUE(list[0]);
  EXPECT_EQ(list[0]->source, CalibrationSource::MassCalRecord);
  EXPECT_EQ(list[0]->mz_at(3.0), 16.0);
  EXPECT_EQ(capture.records(),
            (std::vector<CapturedRecord>{warn("I/O error: stream did not contain valid UTF-8")}));
}

TEST(PolynomialFlags, MatchingRules) {
  const std::vector<DefaultCalibration> defaults = {
      {1, {1, 0}, {10, 20, 1, 2, 0, 0, 0, 0}, 3},
      {2, {1, 0}, {0, 20, 1, 2, 0, 0, 0, 0}, 5},
      {3, {1, 0}, {10, 20, 1, 2, 0, 0, 0, 0}, 6},
  };
  const auto flags = [&](std::vector<double> c, std::optional<std::int32_t> id) -> std::int64_t {
    auto result = polynomial_flags(c, id, defaults);
    if (!result) {
      EXPECT_EQ(result.error().display(), kNoMatch);
      return -1;
    }
    return *result;
  };
  EXPECT_EQ(flags(record(5, 5, {10, 20, 1, 2, 0, 0, 0, 0}), 3), 6);
  EXPECT_EQ(flags(record(5, 5, {10, 20, 1, 2, 0, 0, 0, 0}), 2), 3);  // id 2 does not match: first match wins
  EXPECT_EQ(flags(record(5, 5, {10, 20, 1, 2, 0, 0, 0, 0}), std::nullopt), 3);
  EXPECT_EQ(flags(record(5, 5, {0, 20, 1, 2, 0, 0, 0, 0}), 1), 5);  // zeros match zeros
  EXPECT_EQ(flags(record(5, 5, {-0.0, 20, 1, 2, 0, 0, 0, 0}), 1), 5);
  EXPECT_EQ(flags(record(5, 5, {1e-300, 20, 1, 2, 0, 0, 0, 0}), 2), -1);
  EXPECT_EQ(flags(record(5, 5, {10, 20, 1, 2, 0, 0, 0, 1e-300}), 1), -1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(flags(record(nan, nan, {nan, nan, 0, 0, 0, 0, 0, 0}), 1), 0);  // no coefficients, no flags needed
  EXPECT_EQ(flags(record(5, 5, {nan, 20, 1, 2, 0, 0, 0, 0}), 1), -1);
  EXPECT_EQ(flags({5, 5, 10, 20, 1, 2, 0, 0, 0}, 1), -1);  // not ten values
  EXPECT_EQ(flags({}, 1), -1);
  EXPECT_FALSE(polynomial_flags(record(5, 5, kPoly), 1, {}));
}

// Per-scan problems are counted for the summary whether or not their own
// records are admitted: at warn level only the first one is logged.
TEST(LoadCalibrations, ProblemsAreCountedWhateverTheLogLevel) {
  const TempDir dir;
  const std::string none = "no calibration: parse error: no DefaultMassCal.xml entry for CalibrationID ";
  {
    const LogCapture capture(Level::Warn);
    EXPECT_EQ(load_calibrations(dir.path(), scans({7, std::nullopt, -2}), "run").size(), 3u);
    EXPECT_EQ(capture.records(), (std::vector<CapturedRecord>{
                                     warn("DefaultMassCal.xml not found"),
                                     warn("scan index 0: " + none + "Some(7)"),
                                     warn("3 scans have no usable mass calibration"),
                                 }));
  }
  const CalibrationList quiet = load_calibrations(dir.path(), scans({7, std::nullopt}), "run");  // logging off
  ASSERT_EQ(quiet.size(), 2u);
  EXPECT_FALSE(quiet[0]);
  EXPECT_FALSE(quiet[1]);
}

}  // namespace

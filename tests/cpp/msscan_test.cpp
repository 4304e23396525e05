#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "test_support.hpp"
#include "velorium/raw/msscan.hpp"

namespace {

using velorium::ScanIndex;
using velorium::SpectrumParams;
using velorium::testing::Bytes;
using velorium::testing::TempDir;

// One record of the given stride with id, retention time and MS level set.
Bytes record(std::uint32_t stride, std::uint32_t scan_id, std::uint16_t ms_level, double rt = 0.5) {
  Bytes r(stride);
  r.set<std::uint32_t>(0, scan_id).set<double>(12, rt).set<std::uint16_t>(20, ms_level);
  return r;
}

Bytes file(const std::vector<Bytes>& records, std::uint32_t header_size = 92) {
  Bytes f(header_size);
  f.set<std::uint32_t>(0, 257);
  f.set<std::uint32_t>(88, header_size);
  for (const auto& r : records) f.append(r.vec());
  return f;
}

// A wide descriptor at `offset` of a record.
void wide(Bytes& r, std::size_t offset, std::uint32_t format, std::uint64_t data_offset, std::uint32_t bytes,
          std::uint32_t points, std::uint32_t uncompressed) {
  r.set(offset, format).set(offset + 4, data_offset).set(offset + 12, bytes).set(offset + 16, points);
  r.set(offset + 20, uncompressed);
}

std::string error_of(const Bytes& bytes) {
  auto result = velorium::raw::msscan::from_bytes(bytes);
  return result ? std::string("<ok>") : result.error().display();
}

// The layout table: every field lies inside its record and no two fields
// share a byte, the record sizes are distinct, and the layouts that carry
// calibration identifiers are the time-of-flight ones.
TEST(MSScanLayouts, FieldsFitTheirRecordsWithoutOverlap) {
  namespace msscan = velorium::raw::msscan;
  struct Span {
    std::size_t at, width;
    const char* name;
  };
  std::set<std::uint32_t> strides;
  for (const msscan::Layout& layout : msscan::kLayouts) {
    SCOPED_TRACE(layout.stride);
    EXPECT_TRUE(strides.insert(layout.stride).second);
    std::vector<Span> fields = {{msscan::kScanIdAt, 4, "scan_id"},
                                {msscan::kRetentionTimeAt, 8, "retention_time"},
                                {msscan::kMsLevelAt, 2, "ms_level"},
                                {layout.ion_polarity, layout.polarity_is_i16 ? 2u : 4u, "ion_polarity"}};
    const auto add = [&](msscan::FieldOffset at, std::size_t width, const char* name) {
      if (at) fields.push_back({*at, width, name});
    };
    add(layout.mrm_channel_id, 4, "mrm_channel_id");
    add(layout.tic, 8, "tic");
    add(layout.base_peak_mz, 8, "base_peak_mz");
    add(layout.base_peak_intensity, 8, "base_peak_intensity");
    add(layout.calibration_id, 4, "calibration_id");
    add(layout.collision_energy, 8, "collision_energy");
    add(layout.target_mz, 8, "target_mz");
    add(layout.min_x, 8, "min_x");
    add(layout.max_x, 8, "max_x");
    for (const auto descriptor : layout.descriptors) add(descriptor, layout.compact_descriptor ? 22 : 24, "descriptor");
    EXPECT_TRUE(layout.descriptors[0]);
    EXPECT_EQ(layout.time_of_flight, layout.calibration_id.has_value());
    EXPECT_EQ(layout.time_of_flight, layout.tic.has_value());
    EXPECT_EQ(msscan::is_tof_stride(layout.stride), layout.time_of_flight);
    std::sort(fields.begin(), fields.end(), [](const Span& a, const Span& b) { return a.at < b.at; });
    for (std::size_t i = 0; i < fields.size(); ++i) {
      EXPECT_LE(fields[i].at + fields[i].width, layout.stride) << fields[i].name;
      if (i > 0) {
        EXPECT_LE(fields[i - 1].at + fields[i - 1].width, fields[i].at) << fields[i - 1].name << " / " << fields[i].name;
      }
    }
  }
  EXPECT_EQ(std::set<std::uint32_t>(msscan::kStrides.begin(), msscan::kStrides.end()), strides);
  EXPECT_FALSE(msscan::is_tof_stride(200));
}

TEST(MSScanHeader, FailuresInOrder) {
  EXPECT_EQ(error_of(Bytes(91)), "parse error: MSScan.bin too small for header");
  Bytes wrong_magic = file({record(284, 1, 1)});
  wrong_magic.set<std::uint32_t>(0, 258);
  EXPECT_EQ(error_of(wrong_magic), "parse error: Invalid MSScan magic: 258");

  Bytes truncated = file({});
  truncated.set<std::uint32_t>(88, 93);
  EXPECT_EQ(error_of(truncated), "parse error: MSScan.bin truncated header");
  // A short file with a bad magic reports the size first.
  EXPECT_EQ(error_of(Bytes(10, 0xFF)), "parse error: MSScan.bin too small for header");
}

TEST(MSScanHeader, EmptyAndTinyPayloads) {
  EXPECT_EQ(error_of(file({})), "parse error: Cannot determine record stride for payload len 0");
  Bytes three = file({});
  three.zeros(3);
  EXPECT_EQ(error_of(three), "parse error: Cannot determine record stride for payload len 3");
  Bytes odd = file({});
  odd.zeros(285);
  EXPECT_EQ(error_of(odd), "parse error: Cannot determine record stride for payload len 285");
}

TEST(MSScanHeader, HeaderSizeBelow92IsAccepted) {
  // Header size 0: the payload is the whole 186-byte file, magic included.
  Bytes f(186);
  f.set<std::uint32_t>(0, 257).set<std::uint32_t>(88, 0);
  auto scans = velorium::raw::msscan::from_bytes(f);
  ASSERT_TRUE(scans) << scans.error().display();
  EXPECT_EQ(scans->stride, 186u);
  EXPECT_EQ(scans->global_header_size, 0u);
  EXPECT_EQ(scans->records[0].scan_id, 257u);
}

TEST(MSScanStride, SinglePayloadOfEachStrideNeedsNoPlausibility) {
  for (const std::uint32_t stride : {284u, 220u, 216u, 196u, 186u}) {
    Bytes garbage(stride, 0xAB);
    auto scans = velorium::raw::msscan::from_bytes(file({garbage}));
    ASSERT_TRUE(scans) << stride;
    EXPECT_EQ(scans->stride, stride);
    EXPECT_EQ(scans->records.size(), 1u);
  }
}

TEST(MSScanStride, FirstPlausibleCandidateWins) {
  // 11880 bytes: 54 records of 220 or 55 of 216.
  std::vector<Bytes> as220;
  for (std::uint32_t i = 0; i < 54; ++i) as220.push_back(record(220, 10 + i, 1));
  auto scans = velorium::raw::msscan::from_bytes(file(as220));
  ASSERT_TRUE(scans);
  EXPECT_EQ(scans->stride, 220u);
  EXPECT_EQ(scans->records.size(), 54u);

  // Same length, but only the 216-byte reading of the second record is
  // plausible.
  Bytes payload(11880);
  payload.set<std::uint32_t>(0, 100).set<std::uint16_t>(20, 1);
  payload.set<std::uint32_t>(216, 101).set<std::uint16_t>(236, 2);
  Bytes f = file({payload});
  scans = velorium::raw::msscan::from_bytes(f);
  ASSERT_TRUE(scans);
  EXPECT_EQ(scans->stride, 216u);
  EXPECT_EQ(scans->records.size(), 55u);
}

TEST(MSScanStride, PlausibilityRejections) {
  const auto two = [](std::uint32_t first, std::uint32_t second, std::uint16_t level) {
    return error_of(file({record(186, first, 1), record(186, second, level)}));
  };
  const std::string fail = "parse error: Cannot determine record stride for payload len 372";
  EXPECT_EQ(two(5, 5, 1), fail);  // equal ids
  EXPECT_EQ(two(5, 4, 1), fail);  // decreasing
  EXPECT_EQ(two(5, 6, 0), fail);
  EXPECT_EQ(two(5, 6, 3), fail);
  EXPECT_EQ(two(5, 100005, 1), fail);  // at the id limit
  EXPECT_EQ(two(5, 100004, 2), "<ok>");
}

TEST(MSScanStride, IdLimitSaturates) {
  const std::uint32_t first = 4294967295u - 50000;
  const auto second = [&](std::uint32_t id) {
    return error_of(file({record(196, first, 1), record(196, id, 1)}));
  };
  EXPECT_EQ(second(4294967294u), "<ok>");
  EXPECT_EQ(second(4294967295u), "parse error: Cannot determine record stride for payload len 392");
}

TEST(MSScanStride, FallsBackFromImplausibleLargerStride) {
  // 284 * 186 * k bytes: divisible by both; the 284 reading's second record
  // is implausible, the 186 reading's is fine.
  std::vector<Bytes> records;
  for (std::uint32_t i = 0; i < 284; ++i) records.push_back(record(186, 1 + i, 2));
  auto scans = velorium::raw::msscan::from_bytes(file(records));
  ASSERT_TRUE(scans);
  EXPECT_EQ(scans->stride, 186u);
  EXPECT_EQ(scans->records.size(), 284u);
  EXPECT_EQ(scans->records[283].scan_id, 284u);
}

TEST(MSScanRecord, TimeOfFlightFieldsAndMsLevelGating) {
  Bytes ms1 = record(216, 1, 1, 1.25);
  ms1.set<double>(28, 1000.0).set<double>(36, 301.5).set<double>(44, 88.0).set<std::int32_t>(52, -3);
  ms1.set<std::int32_t>(64, 1).set<double>(76, 15.0).set<double>(84, 500.25);
  Bytes ms2 = ms1;
  ms2.set<std::uint32_t>(0, 2).set<std::uint16_t>(20, 2);
  auto scans = velorium::raw::msscan::from_bytes(file({ms1, ms2}));
  ASSERT_TRUE(scans);
  ASSERT_EQ(scans->stride, 216u);
  const auto& a = scans->records[0];
  EXPECT_EQ(a.retention_time_min, 1.25);
  EXPECT_EQ(a.tic, 1000.0);
  EXPECT_EQ(a.base_peak_mz, 301.5);
  EXPECT_EQ(a.base_peak_intensity, 88.0);
  EXPECT_EQ(a.calibration_id, -3);
  EXPECT_EQ(a.ion_polarity, 1);
  EXPECT_FALSE(a.target_mz);
  EXPECT_FALSE(a.collision_energy);
  EXPECT_FALSE(a.mrm_channel_id);
  EXPECT_FALSE(a.min_x);
  const auto& b = scans->records[1];
  EXPECT_EQ(b.ms_level, 2u);
  EXPECT_EQ(b.collision_energy, 15.0);
  EXPECT_EQ(b.target_mz, 500.25);
}

TEST(MSScanRecord, Stride284HasRangeAndTwoDescriptors) {
  Bytes r = record(284, 9, 1);
  r.set<double>(244, 50.0).set<double>(252, 1700.0);
  wide(r, 156, 2, 4096, 120, 10, 999);
  wide(r, 220, 1, 8192, 300, 40, 176);
  auto scans = velorium::raw::msscan::from_bytes(file({r}));
  ASSERT_TRUE(scans);
  const auto& s = scans->records[0];
  EXPECT_EQ(s.min_x, 50.0);
  EXPECT_EQ(s.max_x, 1700.0);
  ASSERT_TRUE(s.centroid_params);
  EXPECT_EQ(*s.centroid_params, (SpectrumParams{2, 4096, 120, 10, std::nullopt}));
  ASSERT_TRUE(s.profile_params);
  EXPECT_EQ(*s.profile_params, (SpectrumParams{1, 8192, 300, 40, 176}));
}

TEST(MSScanRecord, LaterDescriptorOfSameKindReplacesIgnoredOnesDoNot) {
  Bytes both_profile = record(284, 9, 1);
  wide(both_profile, 156, 1, 1, 1, 1, 1);
  wide(both_profile, 220, 1, 2, 2, 2, 2);
  auto scans = velorium::raw::msscan::from_bytes(file({both_profile}));
  ASSERT_TRUE(scans);
  EXPECT_EQ(scans->records[0].profile_params->offset, 2u);
  EXPECT_FALSE(scans->records[0].centroid_params);

  Bytes later_unknown = record(284, 9, 1);
  wide(later_unknown, 156, 3, 7, 7, 7, 7);
  wide(later_unknown, 220, 9, 8, 8, 8, 8);
  scans = velorium::raw::msscan::from_bytes(file({later_unknown}));
  ASSERT_TRUE(scans);
  EXPECT_EQ(scans->records[0].centroid_params->format_id, 3u);
  EXPECT_EQ(scans->records[0].centroid_params->offset, 7u);

  Bytes none = record(220, 9, 1);
  wide(none, 156, 0, 1, 1, 1, 1);
  scans = velorium::raw::msscan::from_bytes(file({none}));
  ASSERT_TRUE(scans);
  EXPECT_FALSE(scans->records[0].profile_params);
  EXPECT_FALSE(scans->records[0].centroid_params);
}

TEST(MSScanRecord, TripleQuadrupoleLayouts) {
  Bytes r196 = record(196, 3, 2);
  r196.set<std::uint32_t>(4, 77).set<std::int32_t>(64, 0);
  r196.set<double>(28, 5.0);  // tic position of other layouts: not read here
  wide(r196, 144, 3, 64, 24, 2, 0xFFFFFFFF);
  auto scans = velorium::raw::msscan::from_bytes(file({r196}));
  ASSERT_TRUE(scans);
  const auto& s = scans->records[0];
  EXPECT_EQ(s.mrm_channel_id, 77u);
  EXPECT_FALSE(s.tic);
  EXPECT_FALSE(s.calibration_id);
  EXPECT_FALSE(s.target_mz);  // not carried, even at MS level 2
  EXPECT_EQ(*s.centroid_params, (SpectrumParams{3, 64, 24, 2, std::nullopt}));

  // Compact descriptor and 16-bit polarity.
  Bytes r186 = record(186, 3, 1);
  r186.set<std::uint32_t>(4, 5).set<std::uint16_t>(62, 0xFFFF);
  r186.set<std::uint16_t>(136, 1).set<std::uint64_t>(138, 4294967296ull * 3).set<std::uint32_t>(146, 10);
  r186.set<std::uint32_t>(150, 4294967295u).set<std::uint32_t>(154, 56);
  scans = velorium::raw::msscan::from_bytes(file({r186}));
  ASSERT_TRUE(scans);
  const auto& c = scans->records[0];
  EXPECT_EQ(c.ion_polarity, -1);
  EXPECT_EQ(c.mrm_channel_id, 5u);
  EXPECT_EQ(*c.profile_params, (SpectrumParams{1, 4294967296ull * 3, 10, 4294967295u, 56}));
}

TEST(MSScanRecord, ValuesAreCopiedUnchecked) {
  Bytes r = record(220, 1, 1, std::numeric_limits<double>::quiet_NaN());
  wide(r, 156, 1, ~0ull, 0xFFFFFFFF, 0xFFFFFFFF, 0);
  auto scans = velorium::raw::msscan::from_bytes(file({r}));
  ASSERT_TRUE(scans);
  EXPECT_TRUE(std::isnan(scans->records[0].retention_time_min));
  EXPECT_EQ(scans->records[0].profile_params->point_count, 4294967295u);
}

TEST(MSScanPath, ReadsTheFileAndReportsIoErrors) {
  const TempDir dir;
  velorium::testing::write_file(dir / "MSScan.bin", file({record(220, 1, 1), record(220, 2, 1)}));
  auto scans = velorium::raw::msscan::from_path(dir / "MSScan.bin");
  ASSERT_TRUE(scans);
  EXPECT_EQ(scans->records.size(), 2u);

  auto missing = velorium::raw::msscan::from_path(dir / "absent.bin");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().display(), "I/O error: No such file or directory");
  auto directory = velorium::raw::msscan::from_path(dir.path());
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().display(), "I/O error: Is a directory");
}

TEST(MSScanRobustness, AnyTruncationOrByteFlipIsHandled) {
  std::vector<Bytes> records;
  for (std::uint32_t i = 0; i < 4; ++i) records.push_back(record(284, 1 + i, 1));
  const Bytes good = file(records);
  // A cut file either fails or is read as whole records of one layout; cut
  // at a record boundary, it is the records before the cut.
  for (std::size_t len = 0; len <= good.size(); ++len) {
    SCOPED_TRACE(len);
    const std::vector<std::uint8_t> cut(good.vec().begin(), good.vec().begin() + static_cast<long>(len));
    auto result = velorium::raw::msscan::from_bytes(cut);
    if (len < 92) {
      EXPECT_FALSE(result);  // not even the header
    }
    if (len < 92 + 284 && result) {
      EXPECT_NE(result->stride, 284u);  // no whole record of this layout
    }
    if (result) {
      EXPECT_EQ(result->records.size() * result->stride + result->global_header_size, len);
    }
    if (len >= 92 + 284 && (len - 92) % 284 == 0) {
      ASSERT_TRUE(result) << result.error().display();
      EXPECT_EQ(result->stride, 284u);
      ASSERT_EQ(result->records.size(), (len - 92) / 284);
      for (std::size_t i = 0; i < result->records.size(); ++i) EXPECT_EQ(result->records[i].scan_id, 1 + i);
    }
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> flipped = good.vec();
    for (int k = 0; k < 4; ++k) flipped[rng() % flipped.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    auto result = velorium::raw::msscan::from_bytes(flipped);
    if (result) {
      EXPECT_EQ(result->records.size() * result->stride + result->global_header_size, flipped.size());
    }
  }
}

}  // namespace

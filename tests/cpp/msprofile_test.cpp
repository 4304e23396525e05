#include <liblzf/lzf.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "velorium/raw/msprofile.hpp"

namespace {

using velorium::raw::Peaks;
using velorium::raw::calibration::CalibrationSource;
using velorium::raw::calibration::TofCalibration;
using velorium::raw::msprofile::decode_profile_block;
using velorium::raw::msprofile::decode_run_length;
using velorium::SpectrumParams;
using velorium::testing::Bytes;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Square law with a constant and a quadratic correction, clamped to 10..2000.
TofCalibration calibration() {
  const std::vector<double> coefficients = {0.25, 3.0, 10.0, 2000.0, 0.5, 1e-6, 0, 0, 0, 0};
  return *TofCalibration::from_coefficients(coefficients, 0b101, CalibrationSource::MassCalRecord);
}

SpectrumParams params(std::uint32_t points, std::optional<std::uint32_t> uncompressed) {
  SpectrumParams p;
  p.format_id = 1;
  p.point_count = points;
  p.uncompressed_byte_count = uncompressed;
  return p;
}

// The bytes as LZF literal runs only.
Bytes literal_lzf(const Bytes& raw) {
  Bytes out;
  for (std::size_t i = 0; i < raw.size(); i += 32) {
    const std::size_t n = std::min<std::size_t>(32, raw.size() - i);
    out.u8(static_cast<std::uint8_t>(n - 1));
    out.vec().insert(out.vec().end(), raw.vec().begin() + static_cast<std::ptrdiff_t>(i),
                     raw.vec().begin() + static_cast<std::ptrdiff_t>(i + n));
  }
  return out;
}

Bytes axis(double x0, double dx) { return Bytes().f64(x0).f64(dx); }

// Axis header, marker, start field; words follow.
Bytes run_length_block(double x0, double dx, std::int32_t start) {
  return axis(x0, dx).u32(0x9002FF00).i32(start);
}

// The stream of a run-length block: everything after the axis header.
Bytes stream(std::int32_t start) { return Bytes().u32(0x9002FF00).i32(start); }

std::string error_of(const velorium::Result<Peaks>& result) {
  return result ? std::string("<ok>") : result.error().display();
}

std::string run_length_error(const Bytes& s, std::uint32_t n) {
  auto result = decode_run_length(s, n);
  return result ? std::string("<ok>") : result.error().display();
}

void expect_axis(const Peaks& peaks, double x0, double dx) {
  const TofCalibration cal = calibration();
  ASSERT_EQ(peaks.mz.size(), peaks.intensity.size());
  for (std::size_t i = 0; i < peaks.mz.size(); ++i) {
    ASSERT_EQ(peaks.mz[i], cal.mz_at(x0 + static_cast<double>(i) * dx)) << i;
  }
}

TEST(ProfileBlock, CountChecksComeFirst) {
  const TofCalibration cal = calibration();
  const Bytes garbage = Bytes().raw({0xE0, 0xE0, 0xE0});
  auto empty = decode_profile_block(garbage, params(0, 0), cal);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->mz.empty() && empty->intensity.empty());
  EXPECT_EQ(error_of(decode_profile_block(garbage, params(0, std::nullopt), cal)),
            "parse error: Missing UncompressedByteCount for profile block");
  EXPECT_EQ(error_of(decode_profile_block(garbage, params(10, 55), cal)),
            "parse error: UncompressedByteCount 55 too short for 10 points (needs 56)");
  // The needed count does not wrap for the largest point count.
  EXPECT_EQ(error_of(decode_profile_block(garbage, params(4294967295u, 4294967295u), cal)),
            "parse error: UncompressedByteCount 4294967295 too short for 4294967295 points (needs 17179869196)");
}

TEST(ProfileBlock, LzfBlocks) {
  const TofCalibration cal = calibration();
  // Intensities beyond the f32 mantissa round to nearest; bytes after the
  // last point are ignored; x0 may be negative on this path.
  const Bytes raw = axis(-4.5, 0.125).i32(0).i32(-5).i32(16777217).i32(2147483647).i32(99);
  auto peaks = decode_profile_block(literal_lzf(raw), params(4, static_cast<std::uint32_t>(raw.size())), cal);
  ASSERT_TRUE(peaks) << peaks.error().display();
  EXPECT_EQ(peaks->intensity, (std::vector<float>{0.0f, -5.0f, 16777216.0f, 2147483648.0f}));
  expect_axis(*peaks, -4.5, 0.125);

  // A positive subnormal step is valid.
  const Bytes tiny = axis(100.0, 5e-324).i32(1);
  auto subnormal = decode_profile_block(literal_lzf(tiny), params(1, 20), cal);
  ASSERT_TRUE(subnormal) << subnormal.error().display();

  // Failures of the decompression come back unchanged. The largest count the
  // cap admits with a short block fails without touching its output.
  EXPECT_EQ(error_of(decode_profile_block(Bytes(), params(1, 20), cal)),
            "parse error: LZF: decompressed length 0 != expected 20");
  EXPECT_EQ(error_of(decode_profile_block(literal_lzf(raw), params(4, 536870916u), cal)),
            "parse error: LZF: expected decompressed length 536870916 exceeds cap of 536870912");
  EXPECT_EQ(error_of(decode_profile_block(literal_lzf(raw), params(134217724u, 536870912u), cal)),
            "parse error: LZF: decompressed length 36 != expected 536870912");
}

TEST(ProfileBlock, InvalidLzfAxisIsReportedInPlainDecimals) {
  const TofCalibration cal = calibration();
  const auto axis_error = [&](double x0, double dx) {
    return error_of(decode_profile_block(literal_lzf(axis(x0, dx).i32(1)), params(1, 20), cal));
  };
  EXPECT_EQ(axis_error(12.5, -0.5), "parse error: invalid profile axis: x0=12.5, dx=-0.5");
  EXPECT_EQ(axis_error(1e-7, 0.0), "parse error: invalid profile axis: x0=0.0000001, dx=0");
  EXPECT_EQ(axis_error(kNaN, 1.0), "parse error: invalid profile axis: x0=NaN, dx=1");
  EXPECT_EQ(axis_error(2.0, kInf), "parse error: invalid profile axis: x0=2, dx=inf");
  EXPECT_EQ(axis_error(-kInf, 1e20), "parse error: invalid profile axis: x0=-inf, dx=100000000000000000000");
  EXPECT_EQ(axis_error(1.0, -0.0), "parse error: invalid profile axis: x0=1, dx=-0");
}

TEST(ProfileBlock, LzfBlockCompressedWithBackReferences) {
  const TofCalibration cal = calibration();
  Bytes raw = axis(25000.5, 0.25);
  std::vector<float> expected;
  for (int i = 0; i < 5000; ++i) {
    const std::int32_t v = (i % 97 < 60) ? 0 : (i % 7) * 1000 + i;
    raw.i32(v);
    expected.push_back(static_cast<float>(v));
  }
  std::vector<std::uint8_t> packed(raw.size() + 64);
  packed.resize(lzf_compress(raw.vec().data(), static_cast<unsigned>(raw.size()), packed.data(),
                             static_cast<unsigned>(packed.size())));
  ASSERT_FALSE(packed.empty());
  ASSERT_LT(packed.size(), raw.size() / 2);
  auto peaks = decode_profile_block(packed, params(5000, static_cast<std::uint32_t>(raw.size())), cal);
  ASSERT_TRUE(peaks) << peaks.error().display();
  EXPECT_EQ(peaks->intensity, expected);
  expect_axis(*peaks, 25000.5, 0.25);
}

TEST(ProfileBlock, RunLengthBlocks) {
  const TofCalibration cal = calibration();
  // Only the marker and a start field of 0: every point is 0.
  auto zeros = decode_profile_block(run_length_block(7.0, 0.5, 0), params(6, 40), cal);
  ASSERT_TRUE(zeros) << zeros.error().display();
  EXPECT_EQ(zeros->intensity, std::vector<float>(6, 0.0f));
  expect_axis(*zeros, 7.0, 0.5);

  // Start at point 3; 64-bit words convert to the nearest f32.
  auto words = decode_profile_block(run_length_block(7.0, 0.5, -3).i32(7).i32(-4).i64(16777217).i64(9),
                                    params(6, 40), cal);
  ASSERT_TRUE(words) << words.error().display();
  EXPECT_EQ(words->intensity, (std::vector<float>{0, 0, 0, 7, 16777216.0f, 9}));
  expect_axis(*words, 7.0, 0.5);

  // Failures of the stream come back unchanged, with no fallback to LZF.
  EXPECT_EQ(error_of(decode_profile_block(run_length_block(7.0, 0.5, 0).i32(1).i16(2), params(6, 40), cal)),
            "parse error: run-length profile stream truncated: 2 bytes left at width 4");
  // 20 to 23 bytes: the probe sees the marker, the stream lacks its start field.
  EXPECT_EQ(error_of(decode_profile_block(axis(7.0, 0.5).u32(0x9002FF00).raw({0, 0, 0}), params(6, 40), cal)),
            "parse error: run-length profile stream has no marker");
  // The point cap applies to run-length blocks, before anything is allocated.
  EXPECT_EQ(error_of(decode_profile_block(run_length_block(7.0, 0.5, 0), params(134217729u, 536870932u), cal)),
            "parse error: run-length profile block of 134217729 points exceeds the size cap");
}

TEST(ProfileBlock, MarkerWithAnInvalidAxisGoesTheLzfWay) {
  const TofCalibration cal = calibration();
  // x0 of 0, a dx of 0, or a NaN axis in a block with the marker: the bytes
  // are taken as LZF, where they fail.
  for (const auto& [x0, dx] : {std::pair{0.0, 0.5}, std::pair{7.0, 0.0}, std::pair{-1.0, 0.5}, std::pair{kNaN, 0.5}}) {
    const std::string message = error_of(decode_profile_block(run_length_block(x0, dx, 0), params(2, 24), cal));
    EXPECT_EQ(message.rfind("parse error: LZF: ", 0), 0u) << message;
  }

  // One literal run of 32 bytes whose block bytes carry the marker at offset
  // 16 and read as a negative x0, while its decompressed bytes hold the axis
  // 1000, 2^-1022 and one intensity with the marker's bits.
  Bytes raw = axis(1000.0, std::numeric_limits<double>::min()).raw({0xFF, 0x02, 0x90, 0x00});
  raw.zeros(32 - raw.size());
  const Bytes block = Bytes().u8(31).append(raw.vec());
  ASSERT_EQ(block.vec()[16], 0x00);
  ASSERT_EQ(velorium::raw::load_le<std::uint32_t>(block, 16), 0x9002FF00u);
  ASSERT_LT(velorium::raw::load_le<double>(block, 0), 0.0);
  auto peaks = decode_profile_block(block, params(1, 32), cal);
  ASSERT_TRUE(peaks) << peaks.error().display();
  EXPECT_EQ(peaks->intensity, std::vector<float>{9437951.0f});
  expect_axis(*peaks, 1000.0, std::numeric_limits<double>::min());
}

TEST(RunLength, WordsWidthsAndSkips) {
  const auto decoded = [](const Bytes& s, std::uint32_t n) {
    auto result = decode_run_length(s, n);
    EXPECT_TRUE(result) << result.error().display();
    return result ? *result : std::vector<std::int64_t>{};
  };
  EXPECT_EQ(decoded(stream(-3).i32(7).i32(9), 5), (std::vector<std::int64_t>{0, 0, 0, 7, 9}));
  // -5: skip 1, width 1.
  EXPECT_EQ(decoded(stream(0).i32(-5).u8(12), 4), (std::vector<std::int64_t>{0, 12, 0, 0}));
  // -1, -2, -3, -4 set the widths 1, 2, 4, 8 and skip nothing; words are
  // sign-extended at every width.
  EXPECT_EQ(decoded(stream(0).i32(-1).u8(5).u8(0xFE).i16(300).i16(-3).i32(70000).i32(-4).i64(1LL << 40).i64(-1)
                        .u8(0x7F),
                    5),
            (std::vector<std::int64_t>{5, 300, 70000, 1LL << 40, 127}));
  // A one-byte control word: 0x80 is -128, complement 127: skip 31, width 8.
  EXPECT_EQ(decoded(stream(0).i32(-1).u8(0x80).i64(3), 33).at(31), 3);
  // A skip that lands on the point count is accepted.
  EXPECT_EQ(decoded(stream(-3).i32(-9), 5), std::vector<std::int64_t>(5, 0));
  EXPECT_EQ(decoded(stream(-5), 5), std::vector<std::int64_t>(5, 0));
}

TEST(RunLength, ErrorsInTheirOrder) {
  EXPECT_EQ(run_length_error(stream(0), 134217729u),
            "parse error: run-length profile block of 134217729 points exceeds the size cap");
  EXPECT_EQ(run_length_error(Bytes(), 4294967295u),
            "parse error: run-length profile block of 4294967295 points exceeds the size cap");
  EXPECT_EQ(run_length_error(Bytes().u32(0x9002FF00), 5), "parse error: run-length profile stream has no marker");
  EXPECT_EQ(run_length_error(Bytes().u32(0x9002FF01).i32(0), 5), "parse error: run-length profile stream has no marker");
  EXPECT_EQ(run_length_error(stream(2), 5), "parse error: run-length profile stream starts at point -2 of 5");
  EXPECT_EQ(run_length_error(stream(-6), 5), "parse error: run-length profile stream starts at point 6 of 5");
  EXPECT_EQ(run_length_error(stream(std::numeric_limits<std::int32_t>::min()), 5),
            "parse error: run-length profile stream starts at point 2147483648 of 5");
  EXPECT_EQ(run_length_error(stream(-5).i32(1), 5), "parse error: run-length profile stream sets point 5 of 5");
  EXPECT_EQ(run_length_error(stream(-3).i32(-9).i32(1), 5), "parse error: run-length profile stream sets point 5 of 5");
  EXPECT_EQ(run_length_error(stream(-3).i32(-13), 5), "parse error: run-length profile stream skips 3 points from point 3 of 5");
  // The largest skip an 8-byte word can express does not wrap.
  EXPECT_EQ(run_length_error(stream(-1).i32(-4).i64(std::numeric_limits<std::int64_t>::min()), 5),
            "parse error: run-length profile stream skips 2305843009213693951 points from point 1 of 5");
  EXPECT_EQ(run_length_error(stream(0).i32(1).i16(2), 5), "parse error: run-length profile stream truncated: 2 bytes left at width 4");
  EXPECT_EQ(run_length_error(stream(0).i32(-4).i32(1), 5), "parse error: run-length profile stream truncated: 4 bytes left at width 8");
}

}  // namespace

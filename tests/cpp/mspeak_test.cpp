#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "velorium/raw/mspeak.hpp"

namespace {

using velorium::raw::Peaks;
using velorium::raw::calibration::CalibrationSource;
using velorium::raw::calibration::TofCalibration;
using velorium::raw::mspeak::decode_peak_block;
using velorium::SpectrumParams;
using velorium::testing::Bytes;

TofCalibration calibration() {
  const std::vector<double> coefficients = {0.5, 2.0, 0.0, 1e6, 0.0, 0, 0, 0, 0, 0};
  return *TofCalibration::from_coefficients(coefficients, 1, CalibrationSource::DefaultMassCal);
}

SpectrumParams params(std::uint32_t format, std::uint32_t points) {
  SpectrumParams p;
  p.format_id = format;
  p.point_count = points;
  return p;
}

std::string error_of(const velorium::Result<Peaks>& result) {
  return result ? std::string("<ok>") : result.error().display();
}

std::vector<std::uint32_t> bits(const std::vector<float>& values) {
  std::vector<std::uint32_t> out;
  for (float v : values) out.push_back(std::bit_cast<std::uint32_t>(v));
  return out;
}

TEST(PeakBlock, ChecksInOrder) {
  const TofCalibration cal = calibration();
  EXPECT_EQ(error_of(decode_peak_block(Bytes(), params(1, 5), &cal)), "parse error: Unknown peak format ID: 1");
  EXPECT_EQ(error_of(decode_peak_block(Bytes(), params(4, 0), nullptr)), "parse error: Unknown peak format ID: 4");
  EXPECT_EQ(error_of(decode_peak_block(Bytes(), params(4294967295u, 0), nullptr)),
            "parse error: Unknown peak format ID: 4294967295");
  EXPECT_EQ(error_of(decode_peak_block(Bytes(23), params(3, 2), nullptr)), "parse error: Truncated MSPeak.bin block");
  // The length check comes before the calibration check.
  EXPECT_EQ(error_of(decode_peak_block(Bytes(35), params(2, 3), nullptr)), "parse error: Truncated MSPeak.bin block");
  EXPECT_EQ(error_of(decode_peak_block(Bytes(36), params(2, 3), nullptr)),
            "parse error: Q-TOF centroid block has no mass calibration");
  EXPECT_EQ(error_of(decode_peak_block(Bytes(), params(2, 0), nullptr)),
            "parse error: Q-TOF centroid block has no mass calibration");
  // A huge count with a short block fails before anything is allocated.
  EXPECT_EQ(error_of(decode_peak_block(Bytes(100), params(3, 4294967295u), &cal)),
            "parse error: Truncated MSPeak.bin block");

  for (const auto& [format, with_calibration] : {std::pair{2u, true}, std::pair{3u, false}, std::pair{3u, true}}) {
    auto empty = decode_peak_block(Bytes(7), params(format, 0), with_calibration ? &cal : nullptr);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->mz.empty() && empty->intensity.empty());
  }
}

TEST(PeakBlock, Format3IsInterleavedAndTakenBitForBit) {
  const TofCalibration cal = calibration();
  const float nan_bits = std::bit_cast<float>(std::uint32_t{0x7FA00001});  // a signalling NaN payload
  Bytes block = Bytes().f64(150.25).f32(-3.5f).f64(-0.0).f32(nan_bits);
  block.zeros(6);  // bytes after the last record are ignored
  for (const TofCalibration* c : {static_cast<const TofCalibration*>(nullptr), &cal}) {
    auto peaks = decode_peak_block(block, params(3, 2), c);
    ASSERT_TRUE(peaks) << peaks.error().display();
    ASSERT_EQ(peaks->mz.size(), 2u);
    EXPECT_EQ(peaks->mz[0], 150.25);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(peaks->mz[1]), std::bit_cast<std::uint64_t>(-0.0));
    EXPECT_EQ(bits(peaks->intensity), (std::vector<std::uint32_t>{std::bit_cast<std::uint32_t>(-3.5f), 0x7FA00001u}));
  }
}

TEST(PeakBlock, Format2ConvertsFlightTimes) {
  const TofCalibration cal = calibration();
  const Bytes block = Bytes().f64(10.0).f64(20.0).f64(42.0).f32(1.0f).f32(-2.0f).f32(3.0f).u32(0xFFFFFFFF);
  auto peaks = decode_peak_block(block, params(2, 3), &cal);
  ASSERT_TRUE(peaks) << peaks.error().display();
  // (0.5 (t - 2))^2
  EXPECT_EQ(peaks->mz, (std::vector<double>{16.0, 81.0, 400.0}));
  EXPECT_EQ(peaks->intensity, (std::vector<float>{1.0f, -2.0f, 3.0f}));
}

}  // namespace

namespace {

// Blocks longer than the decoder's working chunks: every peak in order.
TEST(PeakBlock, LongBlocksOfBothFormats) {
  const TofCalibration cal = calibration();
  constexpr std::uint32_t n = 2500;
  Bytes format2, format3;
  for (std::uint32_t i = 0; i < n; ++i) format2.f64(1000.0 + 3.25 * i);
  for (std::uint32_t i = 0; i < n; ++i) format2.f32(static_cast<float>(i) * 0.5f);
  for (std::uint32_t i = 0; i < n; ++i) format3.f64(50.0 + 0.125 * i).f32(static_cast<float>(n - i));
  auto two = decode_peak_block(format2, params(2, n), &cal);
  auto three = decode_peak_block(format3, params(3, n), nullptr);
  ASSERT_TRUE(two && three);
  ASSERT_EQ(two->mz.size(), n);
  ASSERT_EQ(three->intensity.size(), n);
  for (std::uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ(two->mz[i], cal.mz_at(1000.0 + 3.25 * i)) << i;
    EXPECT_EQ(two->intensity[i], static_cast<float>(i) * 0.5f) << i;
    EXPECT_EQ(three->mz[i], 50.0 + 0.125 * i) << i;
    EXPECT_EQ(three->intensity[i], static_cast<float>(n - i)) << i;
  }
}

}  // namespace

// The decode-into-caller-memory variants of the block read, LZF and the
// profile and peak decoders against the allocating forms: the same values
// bit for bit and the same first error, whatever the input.
#include <liblzf/lzf.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "velorium/raw/fileio.hpp"
#include "velorium/raw/lzf.hpp"
#include "velorium/raw/mspeak.hpp"
#include "velorium/raw/msprofile.hpp"

namespace {

using velorium::raw::PeakSpans;
using velorium::raw::Peaks;
using velorium::raw::ScratchBuffer;
using velorium::raw::calibration::CalibrationSource;
using velorium::raw::calibration::TofCalibration;
using velorium::SpectrumParams;
using velorium::testing::Bytes;
using velorium::testing::TempDir;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TofCalibration calibration() {
  const std::vector<double> coefficients = {0.25, 3.0, 10.0, 2000.0, 0.5, 1e-6, 0, 0, 0, 0};
  return *TofCalibration::from_coefficients(coefficients, 0b101, CalibrationSource::MassCalRecord);
}

SpectrumParams params(std::uint32_t format, std::uint32_t points, std::optional<std::uint32_t> uncompressed) {
  SpectrumParams p;
  p.format_id = format;
  p.point_count = points;
  p.uncompressed_byte_count = uncompressed;
  return p;
}

template <class T>
bool same_bits(std::span<const T> a, std::span<const T> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// "<ok>" plus the points, or the error text, of both forms; the into form
// gets room for `room` points (the descriptor's count unless given), and the
// room is filled with a pattern first so that unwritten points show.
struct Both {
  std::string allocating;
  std::string into;
};

template <class Allocating, class Into>
Both run_both(Allocating allocating, Into into, std::size_t room) {
  Both out;
  auto a = allocating();
  std::vector<double> mz(room, -12345.5);
  std::vector<float> intensity(room, -777.0f);
  auto b = into(PeakSpans{mz, intensity});
  out.allocating = a ? "<ok>" : a.error().display();
  out.into = b ? "<ok>" : b.error().display();
  if (a && b) {
    EXPECT_TRUE(same_bits<double>(a->mz, mz)) << "m/z differ";
    EXPECT_TRUE(same_bits<float>(a->intensity, intensity)) << "intensities differ";
  }
  return out;
}

Both profile_both(const Bytes& block, const SpectrumParams& p, std::optional<std::size_t> room = std::nullopt) {
  const TofCalibration cal = calibration();
  ScratchBuffer scratch;
  return run_both([&] { return velorium::raw::msprofile::decode_profile_block(block, p, cal); },
                  [&](PeakSpans out) {
                    return velorium::raw::msprofile::decode_profile_block_into(block, p, cal, out, scratch);
                  },
                  room.value_or(p.point_count <= (1u << 20) ? p.point_count : 0));
}

Both peak_both(const Bytes& block, const SpectrumParams& p, const TofCalibration* cal,
               std::optional<std::size_t> room = std::nullopt) {
  return run_both([&] { return velorium::raw::mspeak::decode_peak_block(block, p, cal); },
                  [&](PeakSpans out) { return velorium::raw::mspeak::decode_peak_block_into(block, p, cal, out); },
                  room.value_or(p.point_count));
}

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

Bytes compressed(const Bytes& raw) {
  std::vector<std::uint8_t> out(raw.size() + raw.size() / 16 + 64);
  const unsigned n = lzf_compress(raw.vec().data(), static_cast<unsigned>(raw.size()), out.data(),
                                  static_cast<unsigned>(out.size()));
  out.resize(n);
  Bytes b;
  b.append(out);
  return b;
}

Bytes profile_raw(double x0, double dx, const std::vector<std::int32_t>& values) {
  Bytes raw;
  raw.f64(x0).f64(dx);
  for (const auto v : values) raw.i32(v);
  return raw;
}

Bytes run_length(double x0, double dx, std::int32_t start) {
  return Bytes().f64(x0).f64(dx).u32(0x9002FF00).i32(start);
}

TEST(DecodeInto, ProfileBlocksGiveTheSameValuesAndErrors) {
  std::mt19937 rng(7);
  std::vector<std::int32_t> values(3000);
  for (auto& v : values) v = static_cast<std::int32_t>(rng() % 4000) - 100;
  const auto n = static_cast<std::uint32_t>(values.size());
  const std::uint32_t ucb = 16 + 4 * n;
  const Bytes lzf = compressed(profile_raw(5.0, 0.25, values));

  const std::vector<std::pair<Bytes, SpectrumParams>> cases = {
      {lzf, params(1, n, ucb)},                                         // compressed
      {literal_lzf(profile_raw(5.0, 0.25, values)), params(1, n, ucb)},  // literal runs
      {lzf, params(1, n, ucb + 8)},                                     // longer than the points
      {lzf, params(1, 0, 16)},                                          // empty
      {lzf, params(1, 0, std::nullopt)},                                // no uncompressed size
      {lzf, params(1, n, ucb - 1)},                                     // too short
      {lzf, params(1, n - 1, ucb)},                                     // stream longer than claimed
      {Bytes().raw({0x20}), params(1, 2, 24)},                          // bad back reference
      {literal_lzf(profile_raw(kNaN, 0.25, {1, 2})), params(1, 2, 24)},  // invalid axis
      {lzf, params(1, (1u << 27) - 2, 536870932u)},                     // over the LZF cap
      {run_length(7.0, 0.5, 0), params(1, 6, 40)},                      // all zeros
      {run_length(7.0, 0.5, -3).i32(7).i32(-4).i64(16777217).i64(9).i32(-1), params(1, 6, 40)},
      {run_length(7.0, 0.5, -2).i32(-9).put<std::int8_t>(3).put<std::int8_t>(-3).i16(300), params(1, 12, 64)},
      {run_length(7.0, 0.5, 0).i32(1).i16(2), params(1, 6, 40)},       // truncated word
      {run_length(7.0, 0.5, 0).i32(1).i32(2), params(1, 1, 20)},       // sets a point past the end
      {run_length(7.0, 0.5, -7), params(1, 6, 40)},                     // starts past the end
      {run_length(7.0, 0.5, 0).i32(-4000), params(1, 6, 40)},           // skips past the end
      {run_length(7.0, 0.5, 0), params(1, 134217729u, 536870932u)},     // over the run-length cap
      {run_length(-1.0, 0.5, 0), params(1, 6, 40)},                     // not run-length: LZF
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& [block, p] = cases[i];
    const Both both = profile_both(block, p);
    EXPECT_EQ(both.into, both.allocating) << "case " << i;
  }
  // Room that differs from the descriptor is refused after every check of
  // the block itself, so a block that fails fails as it would anyway.
  EXPECT_EQ(profile_both(lzf, params(1, n, ucb), n - 1).into,
            "parse error: profile block of 3000 points decoded into room for 2999");
  EXPECT_EQ(profile_both(run_length(7.0, 0.5, 0), params(1, 134217729u, 536870932u), 0).into,
            "parse error: run-length profile block of 134217729 points exceeds the size cap");
  EXPECT_EQ(profile_both(lzf, params(1, (1u << 27) - 2, 536870932u), 0).into,
            "parse error: LZF: expected decompressed length 536870932 exceeds cap of 536870912");
}

TEST(DecodeInto, ScratchIsReusedAndTrimmed) {
  ScratchBuffer scratch;
  const auto first = scratch.get(100);
  EXPECT_EQ(scratch.get(50).data(), first.data());  // no new allocation for less
  EXPECT_EQ(scratch.get(50).size(), 50u);
  scratch.get(ScratchBuffer::kKeep + 1);
  scratch.trim();
  EXPECT_EQ(scratch.capacity(), 0u);
  scratch.get(10);
  scratch.trim();
  EXPECT_EQ(scratch.capacity(), 10u);
}

TEST(DecodeInto, PeakBlocksGiveTheSameValuesAndErrors) {
  const TofCalibration cal = calibration();
  const double nan_payload = std::bit_cast<double>(0x7FF8000000000123ull);
  Bytes f3;
  for (const auto& [mz, intensity] : std::vector<std::pair<double, float>>{
           {100.5, 7.0f}, {-0.0, -0.0f}, {nan_payload, std::numeric_limits<float>::quiet_NaN()}, {1e300, 1e-40f}}) {
    f3.f64(mz).f32(intensity);
  }
  Bytes f2;
  for (double t : {10.0, 20.5, -0.0, 3e3, 1e-9}) f2.f64(t);
  for (float v : {1.0f, -0.0f, 2.5f, 1e30f, 0.0f}) f2.f32(v);
  const std::vector<std::tuple<Bytes, SpectrumParams, const TofCalibration*>> cases = {
      {f3, params(3, 4, std::nullopt), nullptr},
      {f3, params(3, 3, std::nullopt), &cal},
      {f3, params(3, 5, std::nullopt), &cal},  // truncated
      {f3, params(7, 1, std::nullopt), &cal},  // unknown format
      {f2, params(2, 5, std::nullopt), &cal},
      {f2, params(2, 5, std::nullopt), nullptr},  // no calibration
      {f2, params(2, 0, std::nullopt), nullptr},  // checked even when empty
      {Bytes(), params(3, 0, std::nullopt), nullptr},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& [block, p, c] = cases[i];
    const Both both = peak_both(block, p, c);
    EXPECT_EQ(both.into, both.allocating) << "case " << i;
  }
  EXPECT_EQ(peak_both(f3, params(3, 4, std::nullopt), nullptr, 3).into,
            "parse error: peak block of 4 points decoded into room for 3");
  EXPECT_EQ(peak_both(f3, params(3, 9, std::nullopt), nullptr, 0).into, "parse error: Truncated MSPeak.bin block");
}

TEST(DecodeInto, LzfIntoCallerMemory) {
  std::mt19937 rng(11);
  for (std::size_t size : {0u, 1u, 40u, 300u, 5000u, 70000u}) {
    Bytes raw;
    for (std::size_t i = 0; i < size; ++i) raw.u8(static_cast<std::uint8_t>(rng() % 7));
    const Bytes stream = compressed(raw);
    std::vector<std::uint8_t> out(size + 16, 0xAB);
    ASSERT_TRUE(velorium::raw::lzf::decompress_into(stream, std::span(out).first(size))) << size;
    EXPECT_TRUE(std::equal(raw.vec().begin(), raw.vec().end(), out.begin())) << size;
    EXPECT_EQ(out[size], 0xAB) << "wrote past the end at size " << size;
    if (size > 0) {
      auto shorter = velorium::raw::lzf::decompress_into(stream, std::span(out).first(size - 1));
      auto expected = velorium::raw::lzf::decompress(stream, size - 1);
      ASSERT_EQ(shorter.has_value(), expected.has_value());
      if (!expected) {
        EXPECT_EQ(shorter.error().display(), expected.error().display());
      }
      auto longer = velorium::raw::lzf::decompress_into(stream, std::span(out).first(size + 1));
      ASSERT_FALSE(longer);
      EXPECT_EQ(longer.error().display(), velorium::raw::lzf::decompress(stream, size + 1).error().display());
    }
  }
}

TEST(DecodeInto, BlockReadIntoScratch) {
  TempDir dir;
  const auto path = dir / "data.bin";
  Bytes bytes;
  for (int i = 0; i < 100; ++i) bytes.u8(static_cast<std::uint8_t>(i));
  velorium::testing::write_file(path, bytes);
  ScratchBuffer scratch;
  auto part = velorium::raw::read_bytes(path, 10, 20, scratch);
  ASSERT_TRUE(part);
  ASSERT_EQ(part->size(), 20u);
  EXPECT_EQ((*part)[0], 10);
  EXPECT_EQ((*part)[19], 29);
  auto beyond = velorium::raw::read_bytes(path, 90, 20, scratch);
  ASSERT_FALSE(beyond);
  EXPECT_EQ(beyond.error().display(), velorium::raw::read_bytes(path, 90, 20).error().display());
  auto missing = velorium::raw::read_bytes(dir / "none.bin", 0, 1, scratch);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().display(), velorium::raw::read_bytes(dir / "none.bin", 0, 1).error().display());
  EXPECT_EQ(velorium::raw::file_size(path), 100u);
  EXPECT_FALSE(velorium::raw::file_size(dir / "none.bin"));
}

}  // namespace

namespace {

TEST(DecodeInto, AxisCacheCopiesOnlyTheSameAxisBitForBit) {
  const auto with_c1 = [](double c1) {
    const std::vector<double> coefficients = {0.25, 3.0, 10.0, 2000.0, c1, 1e-6, 0, 0, 0, 0};
    return *TofCalibration::from_coefficients(coefficients, 0b101, CalibrationSource::MassCalRecord);
  };
  const TofCalibration cal = with_c1(0.5), negative_zero = with_c1(-0.0), zero = with_c1(0.0);
  velorium::raw::msprofile::AxisCache cache;
  struct Step {
    const TofCalibration* cal;
    double x0, dx;
    std::size_t n;
    std::size_t hits_after;
  };
  const std::vector<Step> steps = {
      {&cal, 5.0, 0.25, 3000, 0},           {&cal, 5.0, 0.25, 3000, 1},   // the same axis: copied
      {&cal, 5.0, 0.25 + 1e-16, 3000, 1},  {&cal, 5.0, 0.25, 2999, 1},   // dx or count differ
      {&negative_zero, 5.0, 0.25, 3000, 1}, {&zero, 5.0, 0.25, 3000, 1},  // -0.0 is not 0.0
      {&negative_zero, 5.0, 0.25, 3000, 2}, {&zero, 5.0, 0.25, 3000, 3},  // both remembered
      {&cal, 5.0, 0.25, 3000, 3},                                         // pushes out the older
      {&negative_zero, 5.0, 0.25, 3000, 3},                               // gone
      {&cal, 5.0, 0.25, 3000, 4},           {&cal, 5.0, 0.25, 0, 4},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    std::vector<double> cached(s.n, -1.0), direct(s.n, -2.0);
    cache.fill(*s.cal, s.x0, s.dx, cached);
    s.cal->mz_at_axis(s.x0, s.dx, 0, direct.data(), s.n);
    EXPECT_TRUE(same_bits<double>(cached, direct)) << "step " << i;
    EXPECT_EQ(cache.hits(), s.hits_after) << "step " << i;
  }
  // Through the decoder: the same values with and without the cache.
  std::vector<std::int32_t> values(500);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::int32_t>(i % 37);
  const Bytes block = compressed(profile_raw(5.0, 0.25, values));
  const SpectrumParams p = params(1, 500, 16 + 4 * 500);
  ScratchBuffer scratch;
  velorium::raw::msprofile::AxisCache axes;
  for (int round = 0; round < 3; ++round) {
    std::vector<double> mz(500);
    std::vector<float> intensity(500);
    ASSERT_TRUE(velorium::raw::msprofile::decode_profile_block_into(block, p, cal, PeakSpans{mz, intensity}, scratch,
                                                                    &axes));
    const auto expected = velorium::raw::msprofile::decode_profile_block(block, p, cal);
    EXPECT_TRUE(same_bits<double>(mz, expected->mz));
    EXPECT_TRUE(same_bits<float>(intensity, expected->intensity));
  }
  EXPECT_EQ(axes.hits(), 2u);
}

}  // namespace

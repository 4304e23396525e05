#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "velorium/raw/msmasscal.hpp"

namespace {

using velorium::raw::msmasscal::parse_bytes;
using velorium::testing::Bytes;

// A record with `count` and ten slots holding 1, 2, ..., 10 unless given.
Bytes& add_record(Bytes& file, std::uint32_t count, std::vector<double> slots = {}) {
  file.u32(count);
  for (std::size_t i = 0; i < 10; ++i) file.f64(i < slots.size() ? slots[i] : static_cast<double>(i + 1));
  return file;
}

std::string error_of(const Bytes& bytes) {
  auto result = parse_bytes(bytes);
  return result ? std::string("<ok>") : result.error().display();
}

TEST(MSMassCal, SizeChecks) {
  auto empty = parse_bytes(Bytes(72, 0xEE));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(error_of(Bytes(71)), "parse error: MSMassCal.bin is 71 bytes, shorter than its 72-byte header");
  EXPECT_EQ(error_of(Bytes(0)), "parse error: MSMassCal.bin is 0 bytes, shorter than its 72-byte header");
  EXPECT_EQ(error_of(Bytes(240)), "<ok>");
  EXPECT_EQ(error_of(Bytes(241)),
            "parse error: MSMassCal.bin payload of 169 bytes is not a multiple of the 84-byte record");
  EXPECT_EQ(error_of(Bytes(155)),
            "parse error: MSMassCal.bin payload of 83 bytes is not a multiple of the 84-byte record");
}

TEST(MSMassCal, RecordsReadOnlyTheirCount) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Bytes file(72, 0xAB);
  add_record(file, 0);
  add_record(file, 4);
  add_record(file, 10, {0.5, -0.0, nan, INFINITY, 5, 6, 7, 8, 9, 10});
  auto records = parse_bytes(file);
  ASSERT_TRUE(records) << records.error().display();
  ASSERT_EQ(records->size(), 3u);
  EXPECT_TRUE((*records)[0].coefficients.empty());
  EXPECT_EQ((*records)[1].coefficients, (std::vector<double>{1, 2, 3, 4}));
  const auto& full = (*records)[2].coefficients;
  ASSERT_EQ(full.size(), 10u);
  EXPECT_EQ(full[0], 0.5);
  EXPECT_TRUE(std::signbit(full[1]));
  EXPECT_TRUE(std::isnan(full[2]));
  EXPECT_EQ(full[3], INFINITY);
  EXPECT_EQ(full[9], 10.0);
}

TEST(MSMassCal, CountAboveTenFailsTheWholeFile) {
  Bytes file(72);
  add_record(file, 10);
  add_record(file, 3);
  add_record(file, 11);
  add_record(file, 2);
  EXPECT_EQ(error_of(file), "parse error: MSMassCal.bin record 2 claims 11 coefficients; at most 10 fit");

  Bytes huge(72);
  add_record(huge, 4294967295u);
  EXPECT_EQ(error_of(huge), "parse error: MSMassCal.bin record 0 claims 4294967295 coefficients; at most 10 fit");
}

}  // namespace

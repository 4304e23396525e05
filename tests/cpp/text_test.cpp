#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "velorium/text.hpp"

namespace {

using namespace velorium::text;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(DisplayF64, ShortestPlainDecimal) {
  EXPECT_EQ(display_f64(1.0), "1");
  EXPECT_EQ(display_f64(0.0001), "0.0001");
  EXPECT_EQ(display_f64(12.5), "12.5");
  EXPECT_EQ(display_f64(-0.5), "-0.5");
  EXPECT_EQ(display_f64(0.1), "0.1");
  EXPECT_EQ(display_f64(1e-7), "0.0000001");
  EXPECT_EQ(display_f64(1e21), "1000000000000000000000");
  EXPECT_EQ(display_f64(0.0), "0");
  EXPECT_EQ(display_f64(-0.0), "-0");
  EXPECT_EQ(display_f64(kNaN), "NaN");
  EXPECT_EQ(display_f64(kInf), "inf");
  EXPECT_EQ(display_f64(-kInf), "-inf");
}

TEST(DisplayF64, ExtremesFitAndReadBack) {
  for (const double v : {std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(),
                         -std::numeric_limits<double>::min(), 123456.789e-300}) {
    const std::string s = display_f64(v);
    EXPECT_EQ(s.find('e'), std::string::npos) << s;
    EXPECT_EQ(parse_f64(s), v) << s;
  }
}

TEST(Cat, MixesTextIntegersAndFloats) {
  EXPECT_EQ(cat("a", 1, '-', std::uint64_t{18446744073709551615ull}, " ", -3, " ", 2.5), "a1-18446744073709551615 -3 2.5");
}

}  // namespace

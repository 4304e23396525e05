#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "velorium/text.hpp"

namespace {

using namespace velorium::text;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ParseIntegers, Strictness) {
  EXPECT_EQ(parse_u32("+7"), 7u);
  EXPECT_EQ(parse_u32("4294967295"), 4294967295u);
  EXPECT_FALSE(parse_u32("4294967296"));
  EXPECT_FALSE(parse_u32("-0"));
  EXPECT_FALSE(parse_u32(" 7"));
  EXPECT_FALSE(parse_u32("7 "));
  EXPECT_FALSE(parse_u32(""));
  EXPECT_FALSE(parse_u32("+"));
  EXPECT_FALSE(parse_u32("0x10"));
  EXPECT_EQ(parse_u64("18446744073709551615"), 18446744073709551615ull);
  EXPECT_FALSE(parse_u64("18446744073709551616"));
  EXPECT_FALSE(parse_u64("++1"));

  EXPECT_EQ(parse_i32("-7"), -7);
  EXPECT_EQ(parse_i32("+7"), 7);
  EXPECT_EQ(parse_i32("-2147483648"), std::numeric_limits<std::int32_t>::min());
  EXPECT_FALSE(parse_i32("2147483648"));
  EXPECT_FALSE(parse_i32("-2147483649"));
  EXPECT_FALSE(parse_i32("+-1"));
  EXPECT_FALSE(parse_i32("-"));
}

TEST(ParseF64, DecimalSyntax) {
  EXPECT_EQ(parse_f64("1.5"), 1.5);
  EXPECT_EQ(parse_f64("+2"), 2.0);
  EXPECT_EQ(parse_f64("-0.25e2"), -25.0);
  EXPECT_EQ(parse_f64(".5"), 0.5);
  EXPECT_EQ(parse_f64("5."), 5.0);
  EXPECT_EQ(parse_f64("1E-3"), 0.001);
  EXPECT_EQ(parse_f64("1e400"), kInf);
  EXPECT_EQ(parse_f64("-1e400"), -kInf);
  const auto tiny = parse_f64("1e-400");
  ASSERT_TRUE(tiny);
  EXPECT_EQ(*tiny, 0.0);
  EXPECT_EQ(parse_f64("0.000e999"), 0.0);
  EXPECT_EQ(parse_f64("4.9e-324"), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(parse_f64("Infinity"), kInf);
  EXPECT_EQ(parse_f64("-INF"), -kInf);
  EXPECT_TRUE(std::isnan(*parse_f64("NaN")));
  EXPECT_TRUE(std::isnan(*parse_f64("nan")));
  for (const char* bad : {"", ".", "+", "1,5", "1e", "e5", "1.5.2", " 1", "1 ", "0x1p3", "nan(1)", "infin", "1e+",
                          "--1"}) {
    EXPECT_FALSE(parse_f64(bad)) << bad;
  }
}

TEST(AsciiIequals, IgnoresTheCaseOfAsciiLettersOnly) {
  EXPECT_TRUE(ascii_iequals("G6530B", "g6530b"));  // either side may hold capitals
  EXPECT_TRUE(ascii_iequals("qtof", "QTOF"));
  EXPECT_TRUE(ascii_iequals("", ""));
  EXPECT_FALSE(ascii_iequals("qtof", "qtof "));
  EXPECT_FALSE(ascii_iequals("@", "`"));  // one apart from 'A' and 'a', not letters
  EXPECT_FALSE(ascii_iequals("[", "{"));
  EXPECT_FALSE(ascii_iequals("\xC3\x89", "\xC3\xA9"));  // non-ASCII letters keep their case
}

}  // namespace

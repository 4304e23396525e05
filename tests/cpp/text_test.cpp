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

TEST(DebugF64, ListForm) {
  EXPECT_EQ(debug_f64(1.0), "1.0");
  EXPECT_EQ(debug_f64(0.25), "0.25");
  EXPECT_EQ(debug_f64(0.0), "0.0");
  EXPECT_EQ(debug_f64(-0.0), "-0.0");
  EXPECT_EQ(debug_f64(1e-5), "1e-5");
  EXPECT_EQ(debug_f64(0.0001), "0.0001");
  EXPECT_EQ(debug_f64(2.5e16), "2.5e16");
  EXPECT_EQ(debug_f64(1e16), "1e16");
  EXPECT_EQ(debug_f64(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(debug_f64(-1.5e-300), "-1.5e-300");
  EXPECT_EQ(debug_f64(kNaN), "NaN");
  EXPECT_EQ(debug_f64(-kInf), "-inf");
  const double values[] = {1.0, 0.25, kNaN};
  EXPECT_EQ(debug_f64_list(values), "[1.0, 0.25, NaN]");
  EXPECT_EQ(debug_f64_list({}), "[]");
}

TEST(Quote, EscapesLikeAStringLiteral) {
  EXPECT_EQ(quote("1,5"), "\"1,5\"");
  EXPECT_EQ(quote(""), "\"\"");
  EXPECT_EQ(quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quote("l1\nl2\t\r"), "\"l1\\nl2\\t\\r\"");
  EXPECT_EQ(quote(std::string_view("\0\x1b", 2)), "\"\\0\\u{1b}\"");
  EXPECT_EQ(quote("it's µ"), "\"it's µ\"");
  EXPECT_EQ(quote("\xEF\xBB\xBF"), "\"\\u{feff}\"");
  EXPECT_EQ(quote("\xFF"), "\"\\xff\"");
}

TEST(DebugOptional, Forms) {
  EXPECT_EQ(debug_optional(7), "Some(7)");
  EXPECT_EQ(debug_optional(-2), "Some(-2)");
  EXPECT_EQ(debug_optional(std::nullopt), "None");
}

TEST(Trim, UnicodeWhiteSpace) {
  EXPECT_EQ(trim("  8 \n\t"), "8");
  EXPECT_EQ(trim("\xC2\xA0G6530A\xE3\x80\x80"), "G6530A");  // NBSP, ideographic space
  EXPECT_EQ(trim("\xE2\x80\x8B" "x"), "\xE2\x80\x8B" "x");   // zero-width space is not white space
  EXPECT_EQ(trim("   "), "");
  EXPECT_EQ(trim("a b"), "a b");
}

TEST(Utf8, ValidityAndLossyConversion) {
  EXPECT_TRUE(is_valid_utf8("plain µ €"));
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xE2\x82"));          // truncated
  EXPECT_EQ(lossy_utf8("run\xFF.d"), "run\xEF\xBF\xBD.d");
  // A truncated sequence is one replacement; the byte after it starts anew.
  EXPECT_EQ(lossy_utf8("\xE2\x82x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(lossy_utf8("\xF0\x9F\x98"), "\xEF\xBF\xBD");
  EXPECT_EQ(lossy_utf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

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

TEST(Cat, MixesTextIntegersAndFloats) {
  EXPECT_EQ(cat("a", 1, '-', std::uint64_t{18446744073709551615ull}, " ", -3, " ", 2.5), "a1-18446744073709551615 -3 2.5");
}

}  // namespace

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "velorium/text.hpp"

namespace {

using namespace velorium::text;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

}  // namespace

#include <gtest/gtest.h>

#include "velorium/text.hpp"

namespace {

using namespace velorium::text;

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

}  // namespace

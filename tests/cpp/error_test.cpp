#include <gtest/gtest.h>

#include "velorium/error.hpp"

namespace {

using velorium::Error;

std::error_code not_found() { return std::make_error_code(std::errc::no_such_file_or_directory); }

TEST(Error, DisplayOfEachVariant) {
  EXPECT_EQ(Error::io(not_found()).display(), "I/O error: No such file or directory");
  EXPECT_EQ(Error::parse("Truncated MSPeak.bin block").display(), "parse error: Truncated MSPeak.bin block");
  EXPECT_EQ(Error::scan(1042, "centroid", Error::parse("Truncated MSPeak.bin block")).display(),
            "scanId=1042: centroid block: parse error: Truncated MSPeak.bin block");
  EXPECT_EQ(Error::scan(7, "profile", Error::io(not_found())).display(),
            "scanId=7: profile block: I/O error: No such file or directory");
}

TEST(Error, NestedScanDisplaysOutermostFirst) {
  const Error inner = Error::scan(2, "centroid", Error::parse("x"));
  const Error outer = Error::scan(1, "profile", Error::scan(2, "centroid", Error::parse("x")));
  EXPECT_EQ(outer.display(), "scanId=1: profile block: scanId=2: centroid block: parse error: x");
  EXPECT_EQ(outer.display(), "scanId=1: profile block: " + inner.display());
}

TEST(Error, Cause) {
  const Error io = Error::io(not_found());
  ASSERT_TRUE(std::holds_alternative<std::error_code>(io.cause()));
  EXPECT_EQ(std::get<std::error_code>(io.cause()), not_found());

  EXPECT_TRUE(std::holds_alternative<std::monostate>(Error::parse("x").cause()));

  const Error scan = Error::scan(3, "profile", Error::parse("inner"));
  const auto* source = std::get<const Error*>(scan.cause());
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->display(), "parse error: inner");
}

TEST(Error, DebugNamesVariantAndFields) {
  EXPECT_EQ(Error::parse("say \"hi\"").debug(), "Parse(\"say \\\"hi\\\"\")");
  EXPECT_EQ(Error::scan(7, "profile", Error::parse("x")).debug(),
            "Scan { scan_id: 7, block: \"profile\", source: Parse(\"x\") }");
  const std::string io = Error::io(not_found()).debug();
  EXPECT_EQ(io.rfind("Io(", 0), 0u) << io;
  EXPECT_NE(io.find("No such file or directory"), std::string::npos) << io;
}

TEST(Error, ConversionToCoreError) {
  const lumora::Error io = velorium::to_core(Error::io(not_found()));
  ASSERT_TRUE(std::holds_alternative<lumora::Error::Io>(io.value()));
  EXPECT_EQ(std::get<lumora::Error::Io>(io.value()).code, not_found());
  EXPECT_EQ(io.display(), "I/O error: No such file or directory");

  EXPECT_EQ(velorium::to_core(Error::parse("bad")).display(), "vendor parser error: parse error: bad");
  const lumora::Error scan =
      velorium::to_core(Error::scan(12, "profile", Error::parse("profile block has no mass calibration")));
  ASSERT_TRUE(std::holds_alternative<lumora::Error::Vendor>(scan.value()));
  EXPECT_EQ(scan.display(),
            "vendor parser error: scanId=12: profile block: parse error: profile block has no mass calibration");
  // A Scan error around an I/O error stays a vendor error.
  EXPECT_EQ(velorium::to_core(Error::scan(1, "centroid", Error::io(not_found()))).display(),
            "vendor parser error: scanId=1: centroid block: I/O error: No such file or directory");
}

// An argument the caller should not have passed: named in every rendering,
// no cause, and a vendor error in the core model like every other non-I/O
// failure.
TEST(Error, InvalidArgumentNamesTheArgument) {
  const Error error = Error::invalid_argument("tolerance", "must be finite and non-negative, not NaN");
  EXPECT_TRUE(error.is_invalid_argument());
  EXPECT_FALSE(error.is_parse() || error.is_io() || error.is_scan());
  EXPECT_EQ(error.display(), "invalid argument 'tolerance': must be finite and non-negative, not NaN");
  EXPECT_EQ(error.debug(),
            "InvalidArgument { argument: \"tolerance\", message: \"must be finite and non-negative, not NaN\" }");
  EXPECT_TRUE(std::holds_alternative<std::monostate>(error.cause()));
  const lumora::Error core = velorium::to_core(Error::invalid_argument("targets", "item 0 is -1"));
  ASSERT_TRUE(std::holds_alternative<lumora::Error::Vendor>(core.value()));
  EXPECT_EQ(core.display(), "vendor parser error: invalid argument 'targets': item 0 is -1");
}

TEST(Error, OwnIoErrorsHaveStableTexts) {
  EXPECT_EQ(Error::io(make_error_code(velorium::IoErrc::invalid_utf8)).display(),
            "I/O error: stream did not contain valid UTF-8");
  EXPECT_EQ(Error::io(make_error_code(velorium::IoErrc::unexpected_eof)).display(),
            "I/O error: failed to fill whole buffer");
}

velorium::Result<int> half(int v) {
  if (v % 2 != 0) return velorium::parse_error("odd");
  return v / 2;
}

velorium::Result<int> quarter(int v) {
  VELORIUM_TRY(const int h, half(v));
  VELORIUM_TRY(const int q, half(h));
  return q;
}

TEST(Error, TryPropagatesTheFirstError) {
  EXPECT_EQ(quarter(8).value(), 2);
  EXPECT_EQ(quarter(6).error().display(), "parse error: odd");
}

}  // namespace

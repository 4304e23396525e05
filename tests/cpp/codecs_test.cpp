// The output codecs: SHA-1 on the long standard messages and as a value
// type, and what the MS-Numpress codecs refuse. Their bytes and values are
// compared with other implementations in tests/python/test_codecs.py.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "velorium/output/numpress.hpp"
#include "velorium/output/sha1.hpp"

namespace {

namespace numpress = velorium::output::numpress;
using velorium::output::Sha1;
using Bytes = std::vector<std::uint8_t>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Sha1, LongMessagesAndCopies) {
  Sha1 sha1;
  sha1.update("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
              "nopqrstu");
  EXPECT_EQ(sha1.hex_digest(), "a49b2446a02c645bf419f995b67091253a04a259");
  const std::string thousand(1000, 'a');
  for (int i = 0; i < 1000; ++i) sha1.update(thousand);
  EXPECT_EQ(sha1.hex_digest(), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");

  // A copy goes on from the same state; the original is not disturbed.
  sha1.update("ab");
  Sha1 copy = sha1;
  copy.update("c");
  sha1.update("x");
  EXPECT_EQ(copy.hex_digest(), "a9993e364706816aba3e25717850c26c9cd0d89d");
  Sha1 fresh;
  fresh.update("abx");
  EXPECT_EQ(sha1.hex_digest(), fresh.hex_digest());
}

// Sha1 hashes with `fastest`, which the comparisons with other
// implementations check; the portable code must agree with it.
TEST(Sha1, PortableBlocksAgreeWithTheProcessorsInstructions) {
  SCOPED_TRACE(velorium::output::sha1_blocks::accelerated() ? "SHA instructions" : "portable code on both sides");
  std::mt19937 random(3);
  Bytes data(64 * 300);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  for (const std::size_t count : {0u, 1u, 2u, 3u, 5u, 64u, 300u}) {
    velorium::output::sha1_blocks::State portable = {1, 2, 3, 0x80000000u, 0xFFFFFFFFu}, fastest = portable;
    velorium::output::sha1_blocks::portable(portable, data.data(), count);
    velorium::output::sha1_blocks::fastest(fastest, data.data(), count);
    EXPECT_EQ(portable, fastest) << count;
  }
}

// Encoders: what each refuses, with nothing appended to what `out` held.
struct Refusal {
  const char* name;
  std::function<velorium::Result<void>(Bytes&)> encode;
  const char* message;
};

std::vector<Refusal> refusals() {
  const auto linear = [](std::vector<double> v, double fp) {
    return [v, fp](Bytes& out) { return numpress::encode_linear(v, fp, out); };
  };
  const auto slof = [](std::vector<float> v, double fp) {
    return [v, fp](Bytes& out) { return numpress::encode_slof(v, fp, out); };
  };
  const auto pic = [](std::vector<float> v) { return [v](Bytes& out) { return numpress::encode_pic(v, out); }; };
  const float fnan = std::numeric_limits<float>::quiet_NaN(), finf = std::numeric_limits<float>::infinity();
  return {
      {"linear NaN", linear({1, 2, kNaN}, 10), "numpress linear: value 2 is not finite"},
      {"linear inf first", linear({kInf}, 10), "numpress linear: value 0 is not finite"},
      {"linear negative", linear({1, 2, 3, -1}, 10), "numpress linear: value 3 is negative"},
      {"linear first negative", linear({-0.06}, 10), "numpress linear: value 0 is negative"},
      {"linear first at 2^32", linear({4294967295.5}, 1), "numpress linear: value 0 is too large for the fixed point"},
      {"linear second at 2^32", linear({0, 429496730}, 10), "numpress linear: value 1 is too large for the"},
      {"linear at 2^63", linear({0, 0, 9223372036854775808.0}, 1), "numpress linear: value 2 is too large"},
      {"linear residual 2^31", linear({0, 0, 2147483648.0}, 1), "numpress linear: value 2 is too far from its linear"},
      {"linear residual -2^31-1", linear({0, 1073741825, 0}, 1), "numpress linear: value 2 is too far from its"},
      {"linear unit beyond doubles", linear({1.7e308}, 4e-309), "numpress linear: value 0 is too large for the"},
      {"linear fixed point 0", linear({1}, 0), "numpress linear: the fixed point is not a positive finite number"},
      {"linear fixed point inf", linear({1}, kInf), "numpress linear: the fixed point is not"},
      {"linear fixed point NaN", linear({1}, kNaN), "numpress linear: the fixed point is not"},
      {"linear fixed point negative", linear({-1}, -1), "numpress linear: the fixed point is not"},
      {"slof NaN", slof({1, fnan}, 10), "numpress slof: value 1 is not finite"},
      {"slof inf", slof({finf}, 10), "numpress slof: value 0 is not finite"},
      {"slof -1", slof({-1}, 10), "numpress slof: value 0 is too far below zero"},
      {"slof below -1", slof({-2}, 10), "numpress slof: value 0 is too far below zero"},
      {"slof negative for the fixed point", slof({-0.1f}, 10), "numpress slof: value 0 is too far below zero"},
      {"slof above 65535", slof({0, 1e30f}, 1000), "numpress slof: value 1 is too large for the fixed point"},
      {"slof fixed point 0", slof({1}, 0), "numpress slof: the fixed point is not a positive finite number"},
      {"pic NaN", pic({fnan}), "numpress pic: value 0 is not finite"},
      {"pic -inf", pic({3, -finf}), "numpress pic: value 1 is not finite"},
      {"pic below -0.5", pic({-0.51f}), "numpress pic: value 0 is negative"},
      {"pic 2^31", pic({2147483648.0f}), "numpress pic: value 0 is too large"},
  };
}

TEST(Numpress, EncodersRefuseWhatTheyCannotHold) {
  for (const auto& r : refusals()) {
    SCOPED_TRACE(r.name);
    Bytes out = {7, 8, 9};
    const auto done = r.encode(out);
    ASSERT_FALSE(done);
    EXPECT_TRUE(done.error().display().starts_with(std::string("parse error: ") + r.message))
        << done.error().display();
    EXPECT_EQ(out, (Bytes{7, 8, 9}));
  }
}

// A nibble stream packed high half first, padded with a zero nibble.
Bytes nibbles(const std::vector<std::uint8_t>& halves, Bytes prefix = {}) {
  for (std::size_t i = 0; i < halves.size(); i += 2) {
    prefix.push_back(static_cast<std::uint8_t>(halves[i] << 4 | (i + 1 < halves.size() ? halves[i + 1] : 0)));
  }
  return prefix;
}

Bytes fixed_point(double fp) {
  Bytes out;
  EXPECT_TRUE(numpress::encode_linear({}, fp, out));
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Numpress, DecodersRefuseMalformedBuffers) {
  // Residual +2^31-1 at every step: the prediction leaves 64 bits after
  // about 2^16.5 values.
  std::vector<std::uint8_t> climbing;
  for (int i = 0; i < 100000; ++i) climbing.insert(climbing.end(), {0, 15, 15, 15, 15, 15, 15, 15, 7});
  const Bytes first_two = {0, 0, 0, 0, 0, 0, 0, 0};
  struct Case {
    const char* name;
    std::function<velorium::Result<std::vector<double>>(const Bytes&)> decode;
    Bytes bytes;
    const char* message;
  };
  const auto linear = [](const Bytes& b) { return numpress::decode_linear(b); };
  const auto slof = [](const Bytes& b) { return numpress::decode_slof(b); };
  const auto pic = [](const Bytes& b) { return numpress::decode_pic(b); };
  const std::vector<Case> cases = {
      {"linear empty", linear, {}, "linear: truncated in the fixed point"},
      {"linear 7 bytes", linear, Bytes(7), "linear: truncated in the fixed point"},
      {"linear 11 bytes", linear, concat(fixed_point(1), Bytes(3)), "linear: truncated in the first value"},
      {"linear 15 bytes", linear, concat(fixed_point(1), Bytes(7)), "linear: truncated in the second value"},
      {"linear fixed point 0", linear, concat(fixed_point(0), Bytes(4)), "linear: the fixed point is not"},
      {"linear fixed point NaN", linear, concat(fixed_point(kNaN), Bytes(4)), "linear: the fixed point is not"},
      {"linear fixed point -1", linear, concat(fixed_point(-1), Bytes(4)), "linear: the fixed point is not"},
      {"linear head 0 cut", linear, nibbles({0, 1, 2}, concat(fixed_point(1), first_two)),
       "linear: value 2 is truncated"},
      {"linear head 9 cut", linear, nibbles({8, 9, 1, 2, 3, 4, 5, 6}, concat(fixed_point(1), first_two)),
       "linear: value 3 is truncated"},
      {"linear past 64 bits", linear, nibbles(climbing, concat(fixed_point(1), first_two)), "linear: value 9268"},
      {"linear to infinity", linear, concat(fixed_point(1e-320), {0xff, 0xff, 0xff, 0xff}), "linear: value 0 overf"},
      {"slof 7 bytes", slof, Bytes(7), "slof: truncated in the fixed point"},
      {"slof odd", slof, concat(fixed_point(10), {1, 2, 3}), "slof: truncated in the last value"},
      {"slof fixed point inf", slof, concat(fixed_point(kInf), {1, 0}), "slof: the fixed point is not"},
      {"slof to infinity", slof, concat(fixed_point(1e-3), {0, 0, 0xff, 0xff}), "slof: value 1 overflows"},
      {"pic head 0 cut", pic, {0x01}, "pic: value 0 is truncated"},
      {"pic head 15 cut", pic, nibbles({8, 15}), "pic: value 1 is truncated"},
      {"pic head 0 then 7 nibbles", pic, nibbles({0, 1, 2, 3, 4, 5, 6, 7}), "pic: value 0 is truncated"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto decoded = c.decode(c.bytes);
    ASSERT_FALSE(decoded);
    EXPECT_NE(decoded.error().display().find(c.message), std::string::npos) << decoded.error().display();
  }
}

// Cutting an encoding anywhere gives an Error or a prefix of its values:
// never a read past the end, never other values.
TEST(Numpress, TruncatedEncodingsDecodeToAPrefixOrAnError) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> mz_step(0.001, 0.02);
  std::lognormal_distribution<float> intensity(3, 3);
  std::vector<double> mz(300);
  std::vector<float> counts(300);
  double at = 100;
  for (std::size_t i = 0; i < mz.size(); ++i) {
    mz[i] = at += mz_step(random) * (i % 37 == 0 ? 300 : 1);
    counts[i] = i % 5 == 0 ? 0 : intensity(random);
  }
  struct Codec {
    const char* name;
    Bytes bytes;
    std::function<velorium::Result<std::vector<double>>(std::span<const std::uint8_t>)> decode;
  };
  std::vector<Codec> codecs = {{"linear", {}, numpress::decode_linear},
                               {"slof", {}, numpress::decode_slof},
                               {"pic", {}, numpress::decode_pic}};
  ASSERT_TRUE(numpress::encode_linear(mz, numpress::optimal_linear_fixed_point(mz), codecs[0].bytes));
  ASSERT_TRUE(numpress::encode_slof(counts, numpress::optimal_slof_fixed_point(counts), codecs[1].bytes));
  ASSERT_TRUE(numpress::encode_pic(counts, codecs[2].bytes));
  for (const auto& codec : codecs) {
    SCOPED_TRACE(codec.name);
    const auto whole = codec.decode(codec.bytes).value();
    ASSERT_EQ(whole.size(), 300u);
    std::size_t errors = 0;
    for (std::size_t n = 0; n < codec.bytes.size(); ++n) {
      // A copy of exactly n bytes, so that AddressSanitizer sees any read past it.
      const Bytes cut(codec.bytes.begin(), codec.bytes.begin() + static_cast<std::ptrdiff_t>(n));
      const auto part = codec.decode(cut);
      if (!part) {
        ++errors;
        continue;
      }
      ASSERT_LT(part->size(), whole.size()) << n;
      EXPECT_TRUE(std::equal(part->begin(), part->end(), whole.begin())) << n;
    }
    EXPECT_GT(errors, 0u);
  }
}

// The bounds are reached: every residual and value of nine nibbles.
TEST(Numpress, MaxBytesAreTheWorstCase) {
  for (const std::size_t n : {0u, 1u, 2u, 3u, 4u, 9u, 10u}) {
    SCOPED_TRACE(n);
    std::vector<double> mz(n);
    for (std::size_t i = 0; i < n; ++i) mz[i] = 134217728.0 * static_cast<double>(i * i);  // residual 2^28
    std::vector<float> counts(n, 268435456.0f);                                               // 2^28
    Bytes linear, slof, pic;
    ASSERT_TRUE(numpress::encode_linear(mz, 1, linear));
    ASSERT_TRUE(numpress::encode_slof(counts, 1000, slof));
    ASSERT_TRUE(numpress::encode_pic(counts, pic));
    EXPECT_EQ(linear.size(), numpress::max_linear_bytes(n));
    EXPECT_EQ(slof.size(), numpress::max_slof_bytes(n));
    EXPECT_EQ(pic.size(), numpress::max_pic_bytes(n));
  }
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(numpress::max_linear_bytes(kMax / 4), kMax);
  EXPECT_EQ(numpress::max_slof_bytes(kMax / 2), kMax);
  EXPECT_EQ(numpress::max_pic_bytes(kMax / 8), kMax);
}

}  // namespace

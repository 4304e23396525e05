#include <liblzf/lzf.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "velorium/raw/lzf.hpp"

namespace {

namespace lzf = velorium::raw::lzf;
using Vec = std::vector<std::uint8_t>;

Vec to_vec(const velorium::raw::ByteBuffer& buffer) { return Vec(buffer.data(), buffer.data() + buffer.size()); }

// "<ok: hex bytes>" or the error's display text.
std::string decode(const Vec& input, std::uint64_t expected) {
  auto result = lzf::decompress(input, expected);
  if (!result) return result.error().display();
  std::string out = "ok:";
  static const char* const digits = "0123456789abcdef";
  for (std::size_t i = 0; i < result->size(); ++i) {
    out += ' ';
    out += digits[result->data()[i] >> 4];
    out += digits[result->data()[i] & 15];
  }
  return out;
}

Vec compress(const Vec& input) {
  Vec out(input.size() + input.size() / 16 + 64);
  const unsigned n = lzf_compress(input.data(), static_cast<unsigned>(input.size()), out.data(),
                                  static_cast<unsigned>(out.size()));
  EXPECT_TRUE(n > 0 || input.empty());
  out.resize(n);
  return out;
}

// What a compressed stream exercises, from walking its instructions.
struct StreamStats {
  std::size_t max_distance = 0;
  std::size_t max_match = 0;
  std::size_t overlapping = 0;  // references whose distance is below their length
  std::size_t short_distance = 0;  // distance 2 to 15
};

StreamStats stats_of(const Vec& stream) {
  StreamStats s;
  std::size_t i = 0;
  while (i < stream.size()) {
    const std::size_t c = stream[i++];
    if (c < 32) {
      i += c + 1;
      continue;
    }
    std::size_t length = c >> 5;
    if (length == 7) length += stream[i++];
    const std::size_t distance = ((c & 31) << 8) + stream[i++] + 1;
    length += 2;
    s.max_distance = std::max(s.max_distance, distance);
    s.max_match = std::max(s.max_match, length);
    if (distance < length) ++s.overlapping;
    if (distance >= 2 && distance < 16) ++s.short_distance;
  }
  return s;
}

// A plain decoder that follows the format one byte at a time, every check
// in its order: the model the optimised decoder must match exactly. "ok:"
// and the bytes, or the error's display text.
std::string model_decode(const Vec& in, std::size_t expected) {
  Vec out;
  std::size_t ip = 0;
  if (!in.empty()) {
    for (;;) {
      if (out.size() == expected) break;
      const std::size_t c = in[ip++];
      if (c < 32) {
        if (in.size() - ip < c + 1 || out.size() + c + 1 > expected) return "parse error: LZF: literal run out of bounds";
        for (std::size_t i = 0; i <= c; ++i) out.push_back(in[ip++]);
      } else {
        if (((c & 31) << 8) >= out.size()) return "parse error: LZF: invalid back reference";
        std::size_t length = c >> 5;
        if (length == 7) {
          if (ip == in.size()) return "parse error: LZF: truncated length byte";
          length += in[ip++];
        }
        if (ip == in.size()) return "parse error: LZF: truncated reference byte";
        const std::size_t distance = ((c & 31) << 8) + in[ip++] + 1;
        if (distance > out.size()) return "parse error: LZF: invalid back reference";
        if (out.size() + length + 2 > expected) return "parse error: LZF: match run exceeds output bounds";
        for (std::size_t i = 0; i < length + 2; ++i) out.push_back(out[out.size() - distance]);
      }
      if (ip == in.size()) break;
    }
  }
  if (out.size() != expected) {
    return "parse error: LZF: decompressed length " + std::to_string(out.size()) + " != expected " +
           std::to_string(expected);
  }
  return "ok:" + std::string(out.begin(), out.end());
}

// The same form for this decoder's result.
std::string outcome(const velorium::Result<velorium::raw::ByteBuffer>& result) {
  if (!result) return result.error().display();
  return "ok:" + std::string(result->data(), result->data() + result->size());
}

TEST(LzfDecompress, ByteExamples) {
  EXPECT_EQ(decode({}, 0), "ok:");
  EXPECT_EQ(decode({}, 5), "parse error: LZF: decompressed length 0 != expected 5");
  EXPECT_EQ(decode({0x02, 0x61, 0x62, 0x63}, 3), "ok: 61 62 63");
  // One literal, then distance 1 repeated three times.
  EXPECT_EQ(decode({0x00, 0x61, 0x20, 0x00}, 4), "ok: 61 61 61 61");
  EXPECT_EQ(decode({0x00, 0x61, 0x20, 0x00}, 3), "parse error: LZF: match run exceeds output bounds");
  // The output is complete after the literal; the reference is never read.
  EXPECT_EQ(decode({0x00, 0x61, 0x20, 0x00}, 1), "ok: 61");
  EXPECT_EQ(decode({0x02, 0x61, 0x62, 0x63, 0xFF}, 3), "ok: 61 62 63");
  // Expected length 0 ignores the whole input.
  EXPECT_EQ(decode({0xFF}, 0), "ok:");
  // A distance equal to the output position reaches the first byte.
  EXPECT_EQ(decode({0x01, 0x61, 0x62, 0x20, 0x01}, 5), "ok: 61 62 61 62 61");
  // A long reference: 7 + 2 + 2 bytes at distance 3.
  EXPECT_EQ(decode({0x02, 1, 2, 3, 0xE0, 0x02, 0x02}, 14), "ok: 01 02 03 01 02 03 01 02 03 01 02 03 01 02");
  // Input that ends with fewer bytes than promised.
  EXPECT_EQ(decode({0x02, 0x61, 0x62, 0x63}, 4), "parse error: LZF: decompressed length 3 != expected 4");
}

TEST(LzfDecompress, ErrorsInTheirOrder) {
  // A reference as the first instruction fails before its other bytes are read.
  EXPECT_EQ(decode({0x20}, 4), "parse error: LZF: invalid back reference");
  EXPECT_EQ(decode({0xE0}, 4), "parse error: LZF: invalid back reference");
  EXPECT_EQ(decode({0x00, 0x61, 0xE0}, 9), "parse error: LZF: truncated length byte");
  EXPECT_EQ(decode({0x00, 0x61, 0xE0, 0x00}, 9), "parse error: LZF: truncated reference byte");
  EXPECT_EQ(decode({0x00, 0x61, 0x20}, 9), "parse error: LZF: truncated reference byte");
  // Distance 2 from position 1.
  EXPECT_EQ(decode({0x00, 0x61, 0x20, 0x01}, 9), "parse error: LZF: invalid back reference");
  // The high distance bits alone reach before the start (256 >= 256).
  Vec far = {0x1F};
  far.insert(far.end(), 32, 7);
  for (int i = 0; i < 7; ++i) {
    far.push_back(0x1F);
    far.insert(far.end(), 32, 7);
  }
  std::string sevens = "ok:";
  for (int i = 0; i < 256; ++i) sevens += " 07";
  EXPECT_EQ(decode(far, 256), sevens);
  Vec beyond = far;
  beyond.insert(beyond.end(), {0x21, 0x00});
  EXPECT_EQ(decode(beyond, 300), "parse error: LZF: invalid back reference");
  Vec reach = far;
  reach.insert(reach.end(), {0x20, 0xFF});  // distance 256: the first byte
  EXPECT_EQ(decode(reach, 259).substr(0, 12), "ok: 07 07 07");
  // A literal run beyond the input, and beyond the output.
  EXPECT_EQ(decode({0x01, 0x61}, 2), "parse error: LZF: literal run out of bounds");
  EXPECT_EQ(decode({0x02, 0x61, 0x62, 0x63}, 2), "parse error: LZF: literal run out of bounds");
  // The match check comes after the reference checks.
  EXPECT_EQ(decode({0x00, 0x61, 0xE0, 0xFF, 0x00}, 200), "parse error: LZF: match run exceeds output bounds");
}

TEST(LzfDecompress, ReferenceChecksHoldInsideLongBlocks) {
  // 100 literal bytes, then a reference, then enough input and output that
  // the reference is far from both ends.
  const auto block = [](Vec reference) {
    Vec v;
    for (int run = 0; run < 4; ++run) {
      v.push_back(24);
      for (int i = 0; i < 25; ++i) v.push_back(static_cast<std::uint8_t>(run * 25 + i));
    }
    v.insert(v.end(), reference.begin(), reference.end());
    for (int run = 0; run < 60; ++run) {
      v.push_back(31);
      v.insert(v.end(), 32, 0xAB);
    }
    return v;
  };
  const std::size_t tail = 60 * 32;
  // Distance 100 reaches the first byte; 101 is one before it.
  auto first = lzf::decompress(block({0x20, 99}), 100 + 3 + tail);
  ASSERT_TRUE(first) << first.error().display();
  EXPECT_EQ(Vec(first->data() + 100, first->data() + 104), (Vec{0, 1, 2, 0xAB}));
  EXPECT_EQ(decode(block({0x20, 100}), 100 + 3 + tail), "parse error: LZF: invalid back reference");
  EXPECT_EQ(decode(block({0x21, 0}), 100 + 3 + tail), "parse error: LZF: invalid back reference");
  // Long form: 264 bytes at distance 3, then at distance 100.
  for (std::uint8_t offset : {2, 99}) {
    auto run = lzf::decompress(block({0xE0, 255, offset}), 100 + 264 + tail);
    ASSERT_TRUE(run) << run.error().display();
    for (std::size_t i = 100; i < 364; ++i) ASSERT_EQ(run->data()[i], run->data()[i - offset - 1u]) << i;
  }
  EXPECT_EQ(decode(block({0xE0, 255, 100}), 100 + 264 + tail), "parse error: LZF: invalid back reference");
}

TEST(LzfDecompress, LengthCap) {
  EXPECT_EQ(decode({}, 536870913), "parse error: LZF: expected decompressed length 536870913 exceeds cap of 536870912");
  EXPECT_EQ(decode({0x00, 0x61}, ~std::uint64_t{0}),
            "parse error: LZF: expected decompressed length 18446744073709551615 exceeds cap of 536870912");
  // The cap itself is accepted; this input then falls short of it.
  EXPECT_EQ(decode({0x00, 0x61}, 536870912), "parse error: LZF: decompressed length 1 != expected 536870912");
}

// Inputs of many shapes, compressed by the reference compressor.
std::vector<std::pair<std::string, Vec>> shapes() {
  std::mt19937 rng(12345);
  const auto random_bytes = [&](std::size_t n) {
    Vec v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
  };
  std::vector<std::pair<std::string, Vec>> out;
  out.emplace_back("empty", Vec{});
  out.emplace_back("one byte", Vec{0x42});
  out.emplace_back("two bytes", Vec{0x42, 0x42});
  out.emplace_back("zeros", Vec(100000, 0));
  for (std::size_t period : {2, 3, 4, 5, 6, 7, 8, 9, 12, 15, 16, 17, 31, 100}) {
    Vec pattern = random_bytes(period);
    Vec v;
    for (std::size_t i = 0; i < 5000; ++i) v.push_back(pattern[i % period]);
    out.emplace_back("period " + std::to_string(period), v);
  }
  out.emplace_back("random", random_bytes(70000));
  {
    // The same 8192 bytes twice: references at the largest distance.
    Vec half = random_bytes(8192);
    Vec v = half;
    v.insert(v.end(), half.begin(), half.end());
    out.emplace_back("distance 8192", v);
  }
  {
    // Random bytes with copies of earlier stretches at random distances and
    // lengths, and short runs.
    Vec v = random_bytes(64);
    while (v.size() < 300000) {
      const std::size_t kind = rng() % 3;
      if (kind == 0) {
        const Vec r = random_bytes(1 + rng() % 40);
        v.insert(v.end(), r.begin(), r.end());
      } else if (kind == 1) {
        const std::size_t distance = 1 + rng() % std::min<std::size_t>(v.size(), 9000);
        const std::size_t length = 3 + rng() % 300;
        for (std::size_t i = 0; i < length; ++i) v.push_back(v[v.size() - distance]);
      } else {
        v.insert(v.end(), 1 + rng() % 20, static_cast<std::uint8_t>(rng()));
      }
    }
    out.emplace_back("mixed", v);
  }
  {
    // A profile-like block: an axis header and i32 intensities, Gaussian
    // peaks over a noisy baseline.
    Vec v(16, 0x3F);
    std::normal_distribution<double> noise(20.0, 5.0);
    for (int i = 0; i < 1 << 20; ++i) {
      double y = std::max(0.0, noise(rng));
      const double d = (i % 4000) - 2000.0;
      y += 50000.0 * std::exp(-d * d / 200.0);
      const auto value = static_cast<std::int32_t>(y);
      for (int b = 0; b < 4; ++b) v.push_back(static_cast<std::uint8_t>(value >> (8 * b)));
    }
    out.emplace_back("profile", v);
  }
  return out;
}

TEST(LzfDecompress, RoundTripsThroughTheReferenceCompressor) {
  StreamStats total;
  for (const auto& [name, original] : shapes()) {
    SCOPED_TRACE(name);
    const Vec packed = compress(original);
    const StreamStats s = stats_of(packed);
    total.max_distance = std::max(total.max_distance, s.max_distance);
    total.max_match = std::max(total.max_match, s.max_match);
    total.overlapping += s.overlapping;
    total.short_distance += s.short_distance;
    if (name == "distance 8192") {
      EXPECT_EQ(s.max_distance, 8192u);
    }

    auto result = lzf::decompress(packed, original.size());
    ASSERT_TRUE(result) << result.error().display();
    EXPECT_TRUE(to_vec(*result) == original);

    // One byte more is never produced.
    auto longer = lzf::decompress(packed, original.size() + 1);
    ASSERT_FALSE(longer);
    EXPECT_EQ(longer.error().display(), "parse error: LZF: decompressed length " + std::to_string(original.size()) +
                                            " != expected " + std::to_string(original.size() + 1));
  }
  // The shapes reach the format's extremes.
  EXPECT_EQ(total.max_distance, 8192u);
  EXPECT_EQ(total.max_match, 264u);
  EXPECT_GT(total.overlapping, 100u);
  EXPECT_GT(total.short_distance, 100u);
}

TEST(LzfDecompress, ShorterExpectedLengthsGiveAPrefixOrAnError) {
  std::mt19937 rng(7);
  Vec original;
  for (int i = 0; i < 3000; ++i) original.push_back(static_cast<std::uint8_t>(i % 7 == 0 ? rng() : i % 5));
  const Vec packed = compress(original);
  std::size_t prefixes = 0;
  for (std::size_t m = 0; m < original.size(); ++m) {
    auto result = lzf::decompress(packed, m);
    if (result) {
      ++prefixes;
      ASSERT_TRUE(std::equal(result->data(), result->data() + m, original.begin())) << m;
    } else {
      const std::string message = result.error().display();
      ASSERT_TRUE(message == "parse error: LZF: match run exceeds output bounds" ||
                  message == "parse error: LZF: literal run out of bounds")
          << m << ": " << message;
    }
  }
  EXPECT_GT(prefixes, 100u);
}

// Corrupted streams, decoded by this decoder, the model above and liblzf.
// The first two agree on every outcome and message. liblzf differs in one way:
// once its output is full it still reads the next instruction and fails,
// where this decoder stops and ignores what is left. Everywhere else the
// two agree: where liblzf fills the output, this decoder returns the same
// bytes; where liblzf stops short of it, this decoder reports the length it
// reached.
TEST(LzfDecompress, AgreesWithTheReferenceDecoderOnCorruptInput) {
  std::mt19937 rng(99);
  std::vector<Vec> seeds;
  for (const auto& [name, original] : shapes()) {
    if (!original.empty() && original.size() < 400000) seeds.push_back(compress(original));
  }
  std::size_t both_ok = 0, short_ok = 0, both_fail = 0, trailing = 0;
  for (int round = 0; round < 4000; ++round) {
    Vec input = seeds[rng() % seeds.size()];
    if (input.size() > 3000) {
      const std::size_t start = rng() % (input.size() - 2000);
      input = Vec(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(start + 2000));
    }
    const int mutations = static_cast<int>(rng() % 4);
    for (int i = 0; i < mutations; ++i) input[rng() % input.size()] = static_cast<std::uint8_t>(rng());
    if (rng() % 3 == 0) input.resize(1 + rng() % input.size());
    if (rng() % 4 == 0) {
      for (int i = 0; i < 64; ++i) input.push_back(static_cast<std::uint8_t>(rng()));
    }
    // The length the stream decodes to when nothing limits it (0 when it is
    // invalid), and an expected length that is that, shorter, or anything.
    Vec scratch(1 << 20);
    const unsigned natural = lzf_decompress(input.data(), static_cast<unsigned>(input.size()), scratch.data(),
                                            static_cast<unsigned>(scratch.size()));
    std::size_t expected = 1 + rng() % 40000;
    if (natural > 0 && rng() % 3 == 0) expected = natural;
    if (natural > 0 && rng() % 3 == 0) expected = 1 + rng() % natural;
    if (rng() % 4 == 0) {
      // The length of a shorter piece of the input: the output fills up on
      // an instruction boundary with input left over.
      const unsigned cut = 1 + static_cast<unsigned>(rng() % input.size());
      const unsigned piece = lzf_decompress(input.data(), cut, scratch.data(), static_cast<unsigned>(scratch.size()));
      if (piece > 0) expected = piece;
    }

    Vec theirs(expected);
    const unsigned produced = lzf_decompress(input.data(), static_cast<unsigned>(input.size()), theirs.data(),
                                             static_cast<unsigned>(expected));
    auto ours = lzf::decompress(input, expected);
    ASSERT_TRUE(outcome(ours) == model_decode(input, expected)) << outcome(ours).substr(0, 80);
    if (produced == expected) {
      ++both_ok;
      ASSERT_TRUE(ours) << ours.error().display();
      ASSERT_TRUE(to_vec(*ours) == theirs);
    } else if (produced > 0) {
      ++short_ok;
      ASSERT_FALSE(ours);
      ASSERT_EQ(ours.error().display(), "parse error: LZF: decompressed length " + std::to_string(produced) +
                                            " != expected " + std::to_string(expected));
    } else if (ours) {
      // liblzf failed on what followed a full output; it had written the
      // same bytes before it did.
      ++trailing;
      ASSERT_TRUE(to_vec(*ours) == theirs);
    } else {
      ++both_fail;
    }
  }
  EXPECT_GT(both_ok, 50u);
  EXPECT_GT(short_ok, 50u);
  EXPECT_GT(both_fail, 50u);
  EXPECT_GT(trailing, 50u);
}

}  // namespace

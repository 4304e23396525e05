#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cstring>
#include <fstream>
#include <map>
#include <limits>
#include <random>

#include <gtest/gtest.h>
#include <pugixml.hpp>
#include <zlib.h>

#include "acquisition_builder.hpp"
#include "velorium/output/sha1.hpp"
#include "velorium/output/encode.hpp"
#include "velorium/output/export.hpp"
#include "velorium/output/gzip.hpp"
#include "velorium/output/publish.hpp"
#include "velorium/output/sink.hpp"
#include "velorium/output/xml.hpp"
#include "velorium/reader.hpp"
#include "velorium/text.hpp"

namespace {

using namespace velorium::output;
using namespace velorium::testing;

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class T>
T read_back(const std::string& text) {
  T value{};
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  EXPECT_EQ(result.ptr, text.data() + text.size()) << text;
  return value;
}

TEST(MzmlText, NumbersAreShortestAndReadBackToTheSameBits) {
  const double doubles[] = {0.1, 1.0 / 3.0, 412.25, -0.0, 5e-324, 1e-7, std::numeric_limits<double>::max(),
                            123456789012345678.0};
  for (const double d : doubles) {
    std::string text;
    append_number(text, d);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(read_back<double>(text)), std::bit_cast<std::uint64_t>(d)) << text;
  }
  const float floats[] = {0.1f, 61690.1f, 90905.195f, 1e-40f, std::numeric_limits<float>::max()};
  for (const float f : floats) {
    std::string text;
    append_number(text, f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(read_back<float>(text)), std::bit_cast<std::uint32_t>(f)) << text;
  }
  std::string text;
  append_number(text, 0.1);
  text += ' ';
  append_number(text, 0.1f);  // not the digits of the widened double
  text += ' ';
  append_number(text, std::uint64_t{18446744073709551615u});
  EXPECT_EQ(text, "0.1 0.1 18446744073709551615");
}

TEST(MzmlText, EscapingAndReplacement) {
  EXPECT_EQ(escaped("a&b<c>\"d'e"), "a&amp;b&lt;c&gt;&quot;d&apos;e");
  EXPECT_EQ(escaped("tab\there\nline\rret"), "tab&#9;here&#10;line&#13;ret");
  EXPECT_EQ(escaped(std::string("nul\0x", 5)), "nul\xEF\xBF\xBDx");
  EXPECT_EQ(escaped("bell\x07"), "bell\xEF\xBF\xBD");
  EXPECT_EQ(escaped("Pr\xC3\xBC" "fung \xE6\x9D\xB1"), "Pr\xC3\xBC" "fung \xE6\x9D\xB1");  // kept
  EXPECT_EQ(escaped("bad \xFF\xC3"), "bad \xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(escaped("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // a surrogate
  EXPECT_EQ(escaped("\xEF\xBF\xBE|\xEF\xBF\xBD"), "\xEF\xBF\xBD|\xEF\xBF\xBD");  // U+FFFE is no XML character
  // Whatever the bytes, the result parses as an attribute value and is UTF-8.
  std::mt19937 random(5);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(static_cast<std::size_t>(random() % 40), '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    const std::string xml = "<a v=\"" + escaped(bytes) + "\">" + escaped(bytes) + "</a>";
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_buffer(xml.data(), xml.size())) << xml;
    EXPECT_TRUE(velorium::text::is_valid_utf8(doc.child("a").attribute("v").value()));
  }
}

TEST(MzmlText, XmlNames) {
  EXPECT_EQ(xml_name("run1.d"), "run1.d");
  EXPECT_EQ(xml_name("1 run & <x>.d"), "_1_run____x_.d");
  EXPECT_EQ(xml_name(""), "_");
  EXPECT_EQ(xml_name("-a"), "_-a");
  EXPECT_EQ(xml_name(".d"), "_.d");
  EXPECT_EQ(xml_name("\xC3\xA9t\xC3\xA9"), "__t__");
}

TEST(MzmlText, DateTimes) {
  for (const char* valid : {"2024-05-17T10:42:07.1234567+02:00", "2024-02-29T00:00:00Z", "2000-02-29T23:59:59",
                            "1999-12-31T23:59:59-14:00", "-0044-03-15T12:00:00", "12024-01-01T00:00:00+14:00"}) {
    EXPECT_TRUE(is_xml_datetime(valid)) << valid;
  }
  for (const char* invalid : {"", "yesterday", "2024-05-17", "2024-05-17 10:42:07", "2023-02-29T00:00:00",
                              "1900-02-29T00:00:00", "2024-13-01T00:00:00", "2024-04-31T00:00:00",
                              "2024-05-17T24:00:00", "2024-05-17T10:60:00", "2024-05-17T10:42:07.",
                              "2024-05-17T10:42:07+15:00", "2024-05-17T10:42:07+02", "0000-01-01T00:00:00",
                              "024-01-01T00:00:00", "02024-01-01T00:00:00", "2024-05-17T10:42:07Zjunk"}) {
    EXPECT_FALSE(is_xml_datetime(invalid)) << invalid;
  }
}

TEST(MzmlText, FileUris) {
  EXPECT_EQ(file_uri("/data/my run%1.d/AcqData"), "file:///data/my%20run%251.d/AcqData");
  EXPECT_EQ(file_uri("/a/./b/../c\xC3\xA9"), "file:///a/c%C3%A9");
  EXPECT_TRUE(file_uri("relative").starts_with("file:///"));
}

std::string base64(std::string_view text) {
  std::string out;
  append_base64(out, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  return out;
}

TEST(MzmlEncode, Base64OfTheStandardVectors) {
  EXPECT_EQ(base64(""), "");
  EXPECT_EQ(base64("f"), "Zg==");
  EXPECT_EQ(base64("fo"), "Zm8=");
  EXPECT_EQ(base64("foo"), "Zm9v");
  EXPECT_EQ(base64("foob"), "Zm9vYg==");
  EXPECT_EQ(base64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
  EXPECT_EQ(base64("\xFF\xFE\xFD"), "//79");
}

std::vector<std::uint8_t> decode_base64(const std::string& text) {
  std::vector<std::uint8_t> out;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (const char c : text) {
    if (c == '=') break;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    buffer = (buffer << 6) | static_cast<std::uint32_t>(std::strchr(alphabet, c) - alphabet);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(buffer >> bits));
    }
  }
  return out;
}

std::vector<std::uint8_t> inflate(const std::vector<std::uint8_t>& stream, std::size_t size) {
  std::vector<std::uint8_t> inflated(size + 1);
  uLongf got = static_cast<uLongf>(inflated.size());
  EXPECT_EQ(uncompress(inflated.data(), &got, stream.data(), static_cast<uLong>(stream.size())), Z_OK);
  inflated.resize(got);
  return inflated;
}

template <class T>
std::vector<std::uint8_t> bytes_of(const std::vector<T>& values) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(values.data());
  return {p, p + values.size() * sizeof(T)};
}

TEST(MzmlEncode, ArraysReadBackAsTheirTermsSay) {
  std::mt19937_64 random(3);
  ArrayEncoder encoder;
  EncodedArray encoded;
  for (const std::size_t count : {0u, 1u, 1000u, 100000u}) {
    std::vector<double> mz(count);
    double x = 100.0;
    for (double& v : mz) v = x += static_cast<double>(random() % 1000) * 1e-4;
    const std::vector<float> intensity(mz.begin(), mz.end());
    for (const bool zlib : {true, false}) {
      const auto read_back = [&](std::size_t size) {
        const std::vector<std::uint8_t> stored = decode_base64(encoded.base64);
        EXPECT_EQ(encoded.compression.accession, zlib ? "MS:1000574" : "MS:1000576");
        return zlib ? inflate(stored, size) : stored;
      };
      encoder.mz(mz, MzEncoding::Float64, zlib, encoded);
      EXPECT_EQ(encoded.data_type.accession, "MS:1000523");
      EXPECT_EQ(read_back(count * 8), bytes_of(mz)) << count;
      // 32-bit m/z: each value rounded to the nearest float.
      encoder.mz(mz, MzEncoding::Float32, zlib, encoded);
      EXPECT_EQ(encoded.data_type.accession, "MS:1000521");
      EXPECT_EQ(read_back(count * 4), bytes_of(intensity)) << count;
      encoder.intensity(intensity, IntensityEncoding::Float32, zlib, encoded);
      EXPECT_EQ(encoded.data_type.accession, "MS:1000521");
      EXPECT_EQ(read_back(count * 4), bytes_of(intensity)) << count;
      if (zlib && count == 100000) {
        EXPECT_LT(decode_base64(encoded.base64).size(), count * 4);
      }
    }
  }
}

TEST(MzmlEncode, Sha1) {
  Sha1 sha1;
  EXPECT_EQ(sha1.hex_digest(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  sha1.update("abc");
  EXPECT_EQ(sha1.hex_digest(), "a9993e364706816aba3e25717850c26c9cd0d89d");
  sha1.update("abcdbcdecdefdefgefghfghighijhi");  // in two pieces, after a digest: the state was reset
  sha1.update("jkijkljklmklmnlmnomnopnopq");
  EXPECT_EQ(sha1.hex_digest(), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  TempDir dir;
  write_file(dir / "f", std::string_view("abc"));
  EXPECT_EQ(sha1_of_file(dir / "f").value(), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_TRUE(sha1_of_file(dir / "missing").error().is_io());
}

TEST(MzmlOutput, OffsetsDigestAndPatch) {
  StringSink sink;
  OutputStream out(sink, true);
  std::string expected;
  std::mt19937 random(1);
  for (const std::size_t n : {10u, 3000000u, 5u, 1048570u, 20u, 2000000u}) {
    std::string piece(n, '\0');
    for (char& c : piece) c = static_cast<char>('a' + random() % 26);
    ASSERT_TRUE(out.write(piece));
    expected += piece;
    EXPECT_EQ(out.offset(), expected.size());
  }
  ASSERT_TRUE(out.patch(7, "0123"));
  expected.replace(7, 4, "0123");
  ASSERT_TRUE(out.write("tail"));
  expected += "tail";
  const std::string digest = out.digest().value();
  EXPECT_EQ(sink.str(), expected);
  Sha1 sha1;
  sha1.update(expected);
  EXPECT_EQ(digest, sha1.hex_digest());
  EXPECT_FALSE(out.patch(expected.size() - 2, "xyz"));  // beyond the end
}

std::vector<std::string> names_in(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(MzmlOutput, AtomicFileCommitsOrLeavesNothing) {
  TempDir dir;
  {
    auto file = AtomicFile::create(dir / "a.mzML");
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->append("partial"));
    EXPECT_EQ(names_in(dir.path()).size(), 1u);
  }  // dropped without commit
  EXPECT_TRUE(names_in(dir.path()).empty());

  write_file(dir / "a.mzML", std::string_view("old"));
  auto file = AtomicFile::create(dir / "a.mzML");
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->append("new"));
  const auto refused = file->commit(false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().as_io()->code, std::errc::file_exists);
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"a.mzML"});
  EXPECT_EQ(read_text(dir / "a.mzML"), "old");

  auto replacing = AtomicFile::create(dir / "a.mzML");
  ASSERT_TRUE(replacing && replacing->append("newer"));
  ASSERT_TRUE(replacing->commit(true));
  EXPECT_EQ(read_text(dir / "a.mzML"), "newer");

  const mode_t mask = ::umask(022);
  auto fresh = AtomicFile::create(dir / "b.mzML");
  ::umask(mask);
  ASSERT_TRUE(fresh && fresh->commit(false));
  struct stat info {};
  ASSERT_EQ(::stat((dir / "b.mzML").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"a.mzML", "b.mzML"}));

  EXPECT_FALSE(AtomicFile::create(dir / "no" / "c.mzML"));
}

// A time-of-flight run of centroid (format 3) blocks: MS1 and MS2 scans,
// positive, negative and unknown polarity, and one block that fails when
// `bad` is set.
struct PeakRun {
  TempDir dir;
  std::filesystem::path root = dir / "run 1 & <x>.d";

  explicit PeakRun(std::size_t scans, std::optional<std::size_t> bad = std::nullopt) {
    DataFile peaks;
    std::vector<TestScan> records;
    for (std::size_t i = 0; i < scans; ++i) {
      std::vector<std::pair<double, float>> points;
      for (std::size_t k = 0; k < 3 + i % 5; ++k) {
        points.emplace_back(100.0 + 10.1 * static_cast<double>(k) + 0.001 * static_cast<double>(i),
                            static_cast<float>(1000 + 37 * k + i) / 7.0f);
      }
      Block block = peaks.add(3, format3_block(points), static_cast<std::uint32_t>(points.size()));
      if (bad && *bad == i) block.point_count += 1000;
      TestScan s;
      s.scan_id = static_cast<std::uint32_t>(i + 1);
      s.retention_time_min = 0.01 * static_cast<double>(i) + 1.0 / 3.0;
      s.ms_level = static_cast<std::uint16_t>(i % 3 == 0 ? 1 : 2);
      s.ion_polarity = static_cast<std::int32_t>(i % 4 == 3 ? 7 : i % 2);
      s.tic = 1000.5 + static_cast<double>(i);
      s.target_mz = s.ms_level == 2 ? 500.25 + static_cast<double>(i) : 0.0;
      s.collision_energy = s.ms_level == 2 ? 20.0 : 0.0;
      s.centroid = block;
      records.push_back(s);
    }
    write_file(root / "AcqData" / "MSScan.bin", msscan_image(records, 284).vec());
    write_file(root / "AcqData" / "MSPeak.bin", peaks.bytes().vec());
  }

  velorium::Reader open() const { return velorium::Reader::open(root).value(); }
};

// Checks the index of an indexed mzML text: every offset points at the
// element it names, and the checksum covers the file up to its element.
void expect_consistent_index(const std::string& text) {
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_buffer(text.data(), text.size()));
  const pugi::xml_node root = doc.document_element();
  ASSERT_STREQ(root.name(), "indexedmzML");
  std::size_t offsets = 0;
  for (pugi::xml_node index : root.child("indexList").children("index")) {
    const std::string kind = index.attribute("name").value();
    for (pugi::xml_node o : index.children("offset")) {
      const std::size_t at = std::stoull(o.child_value());
      const std::string head = "<" + kind + " index=\"";
      ASSERT_EQ(text.compare(at, head.size(), head), 0) << kind << " at " << at;
      const std::size_t id_at = text.find("id=\"", at) + 4;
      EXPECT_EQ(text.substr(id_at, text.find('"', id_at) - id_at), o.attribute("idRef").value());
      ++offsets;
    }
  }
  EXPECT_GT(offsets, 0u);
  const std::size_t index_at = std::stoull(root.child("indexListOffset").child_value());
  EXPECT_EQ(text.compare(index_at, 11, "<indexList "), 0);
  const std::size_t checksum_end = text.rfind("<fileChecksum>") + std::strlen("<fileChecksum>");
  Sha1 sha1;
  sha1.update(std::string_view(text).substr(0, checksum_end));
  EXPECT_EQ(sha1.hex_digest(), root.child_value("fileChecksum"));
}

TEST(MzmlWriter, SameBytesWhateverTheThreadsAndEveryValueInPlace) {
  PeakRun run(23);
  const velorium::Reader reader = run.open();
  std::string first;
  for (const unsigned threads : {1u, 2u, 5u}) {
    for (const bool compression : {true, false}) {
      StringSink sink;
      ExportOptions options;
      options.threads = threads;
      options.encoding.zlib = compression;
      std::vector<std::size_t> progress;
      options.progress = [&](std::size_t done, std::size_t total) {
        EXPECT_EQ(total, 23u);
        progress.push_back(done);
      };
      const auto summary = write_mzml(reader, sink, options);
      ASSERT_TRUE(summary) << summary.error().message;
      EXPECT_EQ(summary->spectra, 23u);
      EXPECT_EQ(summary->chromatograms, 2u);
      EXPECT_EQ(progress.size(), 23u);
      EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()) && progress.back() == 23u);
      expect_consistent_index(sink.str());
      if (compression && threads == 1) first = sink.str();
      if (compression) {
        EXPECT_EQ(sink.str(), first) << threads;
      }
    }
  }

  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_buffer(first.data(), first.size()));
  const pugi::xml_node run_node = doc.document_element().child("mzML").child("run");
  EXPECT_STREQ(run_node.attribute("id").value(), "run_1____x_.d");
  EXPECT_FALSE(run_node.attribute("startTimeStamp"));  // no Contents.xml
  std::size_t i = 0;
  for (pugi::xml_node s : run_node.child("spectrumList").children("spectrum")) {
    const auto record = reader.spectrum(i).value();
    EXPECT_EQ(s.attribute("id").value(), record.native_id);
    std::map<std::string, std::string> params;
    for (pugi::xml_node p : s.children("cvParam")) params[p.attribute("accession").value()] = p.attribute("value").value();
    EXPECT_EQ(params.count("MS:1000130"), record.polarity == lumora::Polarity::Positive ? 1u : 0u);
    EXPECT_EQ(params.count("MS:1000129"), record.polarity == lumora::Polarity::Negative ? 1u : 0u);
    EXPECT_EQ(read_back<double>(params.at("MS:1000285")), record.effective_tic());
    const pugi::xml_node scan = s.child("scanList").child("scan");
    EXPECT_EQ(read_back<double>(scan.find_child_by_attribute("cvParam", "accession", "MS:1000016")
                                    .attribute("value")
                                    .value()),
              record.retention_time_sec);
    EXPECT_EQ(static_cast<bool>(s.child("precursorList")), record.ms_level == 2);
    ++i;
  }
  EXPECT_EQ(i, 23u);
}

TEST(MzmlWriter, FailuresSkipsAndCancellation) {
  PeakRun run(12, 4);
  const velorium::Reader reader = run.open();
  StringSink failed;
  const auto failure = write_mzml(reader, failed, {});
  ASSERT_FALSE(failure);
  EXPECT_EQ(failure.error().kind, ExportError::Kind::Scan);
  EXPECT_TRUE(failure.error().message.starts_with("vendor parser error: scanId=5: centroid block: parse error: "))
      << failure.error().message;
  EXPECT_EQ(reader.centroid_failures(), 1u);  // reported once, in order

  ExportOptions skip;
  skip.skip_bad_scans = true;
  skip.threads = 3;
  StringSink skipped;
  const auto summary = write_mzml(reader, skipped, skip);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->spectra, 11u);
  EXPECT_EQ(summary->skipped, 1u);
  EXPECT_EQ(summary->first_skipped, failure.error().message);
  EXPECT_NE(skipped.str().find("<spectrumList count=\"11\""), std::string::npos);
  expect_consistent_index(skipped.str());

  std::atomic<bool> cancel{false};
  ExportOptions cancelling;
  cancelling.cancel = &cancel;
  cancelling.progress = [&](std::size_t done, std::size_t) { cancel = done >= 3; };
  StringSink cancelled;
  const auto stopped = write_mzml(reader, cancelled, cancelling);
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().kind, ExportError::Kind::Cancelled);
}

TEST(MzmlWriter, ExportFileLeavesNothingButTheResult) {
  PeakRun good(6);
  PeakRun bad(6, 2);
  TempDir out;
  const auto destination = out / "x.mzML";
  write_file(destination, std::string_view("old"));
  const auto refused = export_file(good.open(), destination, *find_format("mzml"), {}, false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, ExportError::Kind::Exists);
  const auto failed = export_file(bad.open(), destination, *find_format("mgf"), {}, true);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind, ExportError::Kind::Scan);
  EXPECT_EQ(read_text(destination), "old");
  EXPECT_EQ(names_in(out.path()), std::vector<std::string>{"x.mzML"});
  const auto into_dir = export_file(good.open(), out.path(), *find_format("mzml"), {}, true);
  ASSERT_FALSE(into_dir);
  EXPECT_EQ(into_dir.error().code, std::errc::is_a_directory);
  ASSERT_TRUE(export_file(good.open(), destination, *find_format("mzml"), {}, true));
  expect_consistent_index(read_text(destination));
  EXPECT_EQ(names_in(out.path()), std::vector<std::string>{"x.mzML"});
}

}  // namespace

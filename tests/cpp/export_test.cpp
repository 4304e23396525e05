// The export subsystem's own parts: gzip members, the XML element writer,
// the options a format takes, MGF titles, and the processing recorded in
// the mzML (with a step that takes profile spectra only, as a peak picker).
#include <cmath>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>
#include <zlib.h>

#include "acquisition_builder.hpp"
#include "velorium/output/sha1.hpp"
#include "velorium/output/export.hpp"
#include "velorium/output/gzip.hpp"
#include "velorium/output/xml.hpp"
#include "velorium/reader.hpp"

namespace {

using namespace velorium::output;
using namespace velorium::testing;

// Every member of a gzip file, inflated by zlib one after the other.
std::string gunzip(const std::string& packed) {
  std::string out;
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, 16 + MAX_WBITS), Z_OK);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  z.avail_in = static_cast<uInt>(packed.size());
  char buffer[4096];
  while (true) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    const int rc = inflate(&z, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - z.avail_out);
    if (rc == Z_STREAM_END) {
      if (z.avail_in == 0) break;
      inflateReset(&z);  // the next member
      continue;
    }
    if (rc != Z_OK) {
      ADD_FAILURE() << "inflate: " << rc;
      break;
    }
  }
  inflateEnd(&z);
  return out;
}

TEST(Gzip, MembersInflateToTheStreamAndPatchesReplaceInPlace) {
  StringSink file;
  GzipSink gzip(file);
  OutputStream out(gzip, true);
  std::mt19937 random(4);
  std::string expected;
  std::uint64_t patchable = 0;
  for (const std::size_t n : {100u, 3000000u, 7u, 0u, 1500000u}) {
    std::string piece(n, '\0');
    for (char& c : piece) c = static_cast<char>('a' + random() % 8);
    ASSERT_TRUE(out.write(piece));
    expected += piece;
    if (n == 7) {
      patchable = out.write_patchable("0042").value();
      expected += "0042";
    }
  }
  ASSERT_TRUE(out.patch(patchable, "0017"));
  expected.replace(static_cast<std::size_t>(patchable), 4, "0017");
  ASSERT_TRUE(out.write("tail"));
  expected += "tail";
  const std::string digest = out.digest().value();
  EXPECT_EQ(gunzip(file.str()), expected);
  Sha1 sha1;
  sha1.update(expected);
  EXPECT_EQ(digest, sha1.hex_digest());  // the checksum covers the patched bytes
  EXPECT_LT(file.str().size(), expected.size() / 2);

  // Reads back across members; only patchable bytes can be replaced.
  std::string back(20, '\0');
  ASSERT_TRUE(gzip.read(patchable - 10, back));
  EXPECT_EQ(back, expected.substr(static_cast<std::size_t>(patchable) - 10, 20));
  EXPECT_FALSE(gzip.overwrite(5, "x"));
  EXPECT_FALSE(gzip.overwrite(patchable + 2, "123"));
  EXPECT_FALSE(gzip.read(expected.size() - 2, back));
}

TEST(XmlElements, NestingAttributesAndEscaping) {
  std::string out;
  XmlWriter xml(out, 1);
  xml.open("run", {{"id", std::string_view("a&b")}, {"count", std::uint64_t{3}}});
  xml.empty("p", {{"x", 0.1}, {"y", 0.1f}, {"z", Verbatim{"<raw>"}}});
  xml.leaf("binary", {}, Verbatim{"QUJD"});
  xml.leaf("t", {{"k", std::string_view("\"")}}, std::string_view("1 < 2"));
  const std::size_t at = xml.value_offset(0);
  xml.close("run");
  EXPECT_EQ(out,
            "  <run id=\"a&amp;b\" count=\"3\">\n"
            "    <p x=\"0.1\" y=\"0.1\" z=\"<raw>\"/>\n"
            "    <binary>QUJD</binary>\n"
            "    <t k=\"&quot;\">1 &lt; 2</t>\n"
            "  </run>\n");
  EXPECT_EQ(out.substr(at, xml.value_size(0)), "&quot;");
  EXPECT_EQ(xml.depth(), 1);
}

struct ConfigureCase {
  const char* format;
  Settings settings;
  const char* problem;  // a fragment of the error, or null
};

TEST(ExportOptions, FormatsTakeTheOptionsThatFitThem) {
  const ConfigureCase cases[] = {
      {"mzml", {}, nullptr},
      {"MGF", {}, nullptr},
      {"mzml", {.mz_precision = 32}, nullptr},
      {"mzml", {.mz_precision = 16}, "32 or 64"},
      {"mgf", {.mz_precision = 64}, "mgf does not have"},
      {"mgf", {.compact = true}, "mgf does not have"},
      {"mzml", {.compression = false, .compact = true}, "contradict"},
      {"mzml", {.mgf_title = "{scan}"}, "for mgf"},
      {"mgf", {.mgf_title = "{scan}.{bogus}"}, "unknown field {bogus}"},
      {"mgf", {.mgf_title = "a{scan"}, "without its '}'"},
      {"mgf", {.mgf_title = "a}b"}, "without its '{'"},
      {"mgf", {.mgf_title = "two\nlines"}, "control character"},
      {"mgf", {.mgf_title = "{{{scan}}}"}, nullptr},
      {"mzml", {.selection = {.rt_range_sec = std::pair{5.0, 1.0}}}, "reversed"},
      {"mzml", {.processing = {.top = 0}}, "at least 1"},
      {"mzml", {.numpress = Numpress{true, IntensityEncoding::NumpressPic}}, nullptr},
      {"mgf", {.numpress = Numpress{true, IntensityEncoding::Float32}}, "mgf does not have"},
      {"mzml", {.mz_precision = 32, .numpress = Numpress{true, IntensityEncoding::Float32}}, "contradicts"},
      {"mzml", {.numpress = Numpress{}, .compact = true}, "contradict"},
      {"mzml", {.numpress = Numpress{true, IntensityEncoding::NumpressSlof}, .compact = true}, nullptr},
  };
  for (const ConfigureCase& c : cases) {
    const Format* format = find_format(c.format);
    ASSERT_NE(format, nullptr) << c.format;
    ExportOptions options;
    const auto done = configure(*format, c.settings, options);
    if (c.problem == nullptr) {
      EXPECT_TRUE(done) << c.format << ": " << done.error().display();
    } else {
      ASSERT_FALSE(done) << c.problem;
      EXPECT_NE(done.error().display().find(c.problem), std::string::npos) << done.error().display();
    }
  }
  EXPECT_EQ(find_format("csv"), nullptr);

  ExportOptions options;
  ASSERT_TRUE(configure(*find_format("mzml"), {.processing = {.min_intensity = 3.0}, .compression = false,
                                               .mz_precision = 32, .compact = false},
                        options));
  EXPECT_EQ(options.chain.steps().size(), 1u);
  EXPECT_EQ(options.encoding, (ArrayEncoding{MzEncoding::Float32, IntensityEncoding::Float32, false}));
  ASSERT_TRUE(configure(*find_format("mzml"), {.compact = true}, options));
  EXPECT_EQ(options.chain.steps().size(), 1u);  // zero trimming
  EXPECT_EQ(options.encoding, (ArrayEncoding{MzEncoding::NumpressLinear, IntensityEncoding::NumpressSlof, true}));
}

TEST(ExportOptions, NumpressText) {
  const std::pair<const char*, std::optional<Numpress>> cases[] = {
      {"none", Numpress{}},
      {"linear,slof", Numpress{true, IntensityEncoding::NumpressSlof}},
      {"pic,linear", Numpress{true, IntensityEncoding::NumpressPic}},
      {"slof", Numpress{false, IntensityEncoding::NumpressSlof}},
      {"slof,pic", std::nullopt}, {"linear,linear", std::nullopt}, {"", std::nullopt}, {"zlib", std::nullopt},
      {"linear,", std::nullopt}, {"none,linear", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    const auto parsed = parse_numpress(text);
    EXPECT_EQ(parsed ? std::optional(*parsed) : std::nullopt, expected) << text;
  }
}

// Arrays an MS-Numpress codec cannot hold are stored exactly, and say so.
TEST(ExportEncode, ArraysNumpressCannotHoldAreStoredExactly) {
  ArrayEncoder encoder;
  EncodedArray out;
  encoder.mz(std::vector<double>{100.0, std::nan(""), 300.0}, MzEncoding::NumpressLinear, false, out);
  EXPECT_EQ(out.compression.accession, "MS:1000576");
  EXPECT_EQ(out.data_type.accession, "MS:1000523");
  encoder.intensity(std::vector<float>{5.0f, -3.0f}, IntensityEncoding::NumpressPic, true, out);
  EXPECT_EQ(out.compression.accession, "MS:1000574");
  EXPECT_EQ(out.data_type.accession, "MS:1000521");
  const std::pair<IntensityEncoding, std::string_view> fits[] = {{IntensityEncoding::NumpressPic, "MS:1002747"},
                                                                 {IntensityEncoding::NumpressSlof, "MS:1002748"}};
  for (const auto& [encoding, accession] : fits) {
    encoder.intensity(std::vector<float>{5.0f, 3.0f}, encoding, true, out);
    EXPECT_EQ(out.compression.accession, accession);
    EXPECT_EQ(out.data_type.accession, "MS:1000523");  // they decode to 64-bit floats
  }
  encoder.mz(std::vector<double>{100.0, 200.0}, MzEncoding::NumpressLinear, false, out);
  EXPECT_EQ(out.compression.accession, "MS:1002312");
}

// Profile MS1 scans (LZF, runs of zeros) and centroid MS2 scans of one
// folder, "sample run.d".
struct MixedRun {
  TempDir dir;
  std::filesystem::path root = dir / "sample run.d";

  MixedRun() {
    DataFile profile, peaks;
    std::vector<TestScan> scans;
    for (std::uint32_t i = 0; i < 6; ++i) {
      TestScan s{.scan_id = 20 + i, .retention_time_min = 0.1 * i};
      if (i % 2 == 0) {
        std::vector<std::int32_t> counts(300, 0);
        for (std::size_t k = 40 + i; k < 300; k += 50) counts[k] = static_cast<std::int32_t>(100 + k);
        s.profile = profile.add(1, lzf_profile(5.0, 0.01, counts), 300, 16 + 1200);
      } else {
        s.ms_level = 2;
        s.target_mz = 400.5 + i;
        s.collision_energy = 20.0;
        s.centroid = peaks.add(3, format3_block({{150.0, 10.0f}, {250.0, 0.0f}, {350.0, 30.0f}}), 3);
      }
      scans.push_back(s);
    }
    write_file(root / "AcqData" / "MSScan.bin", msscan_image(scans, 284));
    write_file(root / "AcqData" / "MSProfile.bin", profile.bytes());
    write_file(root / "AcqData" / "MSPeak.bin", peaks.bytes());
    write_file(root / "AcqData" / "DefaultMassCal.xml", default_masscal({{1, 2.0, 0.0}}));
  }
  velorium::Reader open() const { return velorium::Reader::open(root).value(); }
};

TEST(ExportMgf, TitlesFromTheTemplate) {
  const MixedRun run;
  const velorium::Reader reader = run.open();
  const auto titles = [&](std::string_view title) {
    ExportOptions options;
    options.mgf_title = std::string(title);
    StringSink sink;
    EXPECT_TRUE(write_mgf(reader, sink, options));
    std::vector<std::string> out;
    std::size_t at = 0;
    while ((at = sink.str().find("TITLE=", at)) != std::string::npos) {
      const std::size_t end = sink.str().find('\n', at);
      out.push_back(sink.str().substr(at + 6, end - at - 6));
      at = end;
    }
    return out;
  };
  EXPECT_EQ(titles(kDefaultMgfTitle),
            (std::vector<std::string>{"sample run.21.21. File:\"sample run.d\", NativeID:\"scanId=21\"",
                                      "sample run.23.23. File:\"sample run.d\", NativeID:\"scanId=23\"",
                                      "sample run.25.25. File:\"sample run.d\", NativeID:\"scanId=25\""}));
  EXPECT_EQ(titles("{{{index}}} {scan} {charge}|{folder}"),
            (std::vector<std::string>{"{1} 21 |sample run.d", "{3} 23 |sample run.d", "{5} 25 |sample run.d"}));
}

// A step that takes profile spectra only and halves their intensities,
// where a peak picker plugs in.
class ProfileOnly final : public velorium::process::Step {
 public:
  bool applies_to(lumora::ScanMode mode) const noexcept override { return mode == lumora::ScanMode::Profile; }
  velorium::Result<void> apply(lumora::SpectrumRecord& s, velorium::process::Scratch&) const override {
    for (float& v : s.intensity) v /= 2;
    return {};
  }
  std::vector<velorium::process::Param> describe() const override {
    return {{"MS:1000035", "peak picking", "", "", "", "xsd:string"}};
  }
};

struct Written {
  pugi::xml_document doc;
  std::map<std::string, std::vector<std::string>> methods;  // dataProcessing id -> accessions, in order
  std::string default_ref;
  std::vector<std::string> refs;  // each spectrum's dataProcessingRef ("" when absent)
  std::vector<std::size_t> lengths;
};

std::unique_ptr<Written> write_with(const velorium::Reader& reader, velorium::process::Chain chain) {
  ExportOptions options;
  options.chain = std::move(chain);
  StringSink sink;
  EXPECT_TRUE(write_mzml(reader, sink, options));
  auto w = std::make_unique<Written>();
  EXPECT_TRUE(w->doc.load_buffer(sink.str().data(), sink.str().size()));
  const pugi::xml_node mzml = w->doc.document_element().child("mzML");
  for (pugi::xml_node p : mzml.child("dataProcessingList").children("dataProcessing")) {
    auto& accessions = w->methods[p.attribute("id").value()];
    for (pugi::xml_node m : p.children("processingMethod")) {
      for (pugi::xml_node c : m.children()) accessions.push_back(c.attribute(c.attribute("accession") ? "accession" : "name").value());
    }
  }
  const pugi::xml_node list = mzml.child("run").child("spectrumList");
  w->default_ref = list.attribute("defaultDataProcessingRef").value();
  for (pugi::xml_node s : list.children("spectrum")) {
    w->refs.push_back(s.attribute("dataProcessingRef").value());
    w->lengths.push_back(s.attribute("defaultArrayLength").as_ullong());
  }
  EXPECT_STREQ(mzml.child("run").child("chromatogramList").attribute("defaultDataProcessingRef").value(),
               "velorium_conversion");
  return w;
}

TEST(ExportMzml, EachSpectrumRefersToTheProcessingItWentThrough) {
  const MixedRun run;
  const velorium::Reader reader = run.open();
  const auto plain = write_with(reader, {});
  EXPECT_EQ(plain->methods, (std::map<std::string, std::vector<std::string>>{{"velorium_conversion", {"MS:1000544"}}}));
  EXPECT_EQ(plain->default_ref, "velorium_conversion");

  // One chain for every spectrum: one entry, the steps in order, no per-spectrum reference.
  const auto trimmed = write_with(reader, velorium::process::chain_of({.trim_zeros = true, .top = 2}));
  EXPECT_EQ(trimmed->methods.at("velorium_processing"),
            (std::vector<std::string>{"MS:1000544", "MS:1001486", "zero-intensity data point removal", "MS:1000594",
                                      "most intense data points kept"}));
  EXPECT_EQ(trimmed->default_ref, "velorium_processing");
  EXPECT_EQ(trimmed->refs, std::vector<std::string>(6, ""));
  EXPECT_EQ(trimmed->lengths, (std::vector<std::size_t>{2, 2, 2, 2, 2, 2}));

  // A profile-only step: the centroid spectra refer to the processing without it.
  velorium::process::Chain picking;
  picking.then(std::make_shared<ProfileOnly>()).then(velorium::process::trim_zeros());
  const auto picked = write_with(reader, std::move(picking));
  EXPECT_EQ(picked->methods.at("velorium_processing_profile"),
            (std::vector<std::string>{"MS:1000544", "MS:1000035", "MS:1001486", "zero-intensity data point removal"}));
  EXPECT_EQ(picked->methods.at("velorium_processing_centroid"),
            (std::vector<std::string>{"MS:1000544", "MS:1001486", "zero-intensity data point removal"}));
  EXPECT_EQ(picked->default_ref, "velorium_processing_profile");
  EXPECT_EQ(picked->refs, (std::vector<std::string>{"", "velorium_processing_centroid", "", "velorium_processing_centroid",
                                                    "", "velorium_processing_centroid"}));
}

}  // namespace

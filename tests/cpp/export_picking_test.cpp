// Picked spectra in the writers: the options that turn picking on, and the
// mzML written with them, whose peaks are those the acquisition's decoding
// hands out and whose spectra each refer to the processing they went through.
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "acquisition_builder.hpp"
#include "velorium/output/encode.hpp"
#include "velorium/output/export.hpp"
#include "velorium/peaks/decode.hpp"
#include "velorium/text.hpp"

namespace {

using namespace velorium::output;
using namespace velorium::testing;
using velorium::BlockPreference;
using velorium::peaks::DecodeOptions;
using velorium::peaks::PickMode;

// Scans with both blocks (0, 3), a profile only (1, 4) and centroids only
// (2, 5); each profile holds three Gaussian peaks on a noise floor.
struct PickingRun {
  TempDir dir;
  std::filesystem::path root = dir / "picking.d";

  PickingRun() {
    DataFile profile, peaks;
    std::vector<TestScan> scans;
    for (std::uint32_t i = 0; i < 6; ++i) {
      TestScan s{.scan_id = 1 + i, .retention_time_min = 0.05 * i};
      if (i % 3 != 2) {
        std::vector<std::int32_t> counts(400);
        for (std::size_t k = 0; k < counts.size(); ++k) {
          double v = 3.0 + static_cast<double>((k * 7 + i) % 5);
          for (const double centre : {80.3 + i, 190.6, 310.1 - i}) v += 5000.0 * std::exp(-std::pow((k - centre) / 2.5, 2));
          counts[k] = static_cast<std::int32_t>(v);
        }
        s.profile = profile.add(1, lzf_profile(5.0, 0.01, counts), 400, 16 + 1600);
      }
      if (i % 3 != 1) s.centroid = peaks.add(3, format3_block({{150.0, 10.0f}, {350.0, 30.0f}}), 2);
      scans.push_back(s);
    }
    write_file(root / "AcqData" / "MSScan.bin", msscan_image(scans, 284));
    write_file(root / "AcqData" / "MSProfile.bin", profile.bytes());
    write_file(root / "AcqData" / "MSPeak.bin", peaks.bytes());
    write_file(root / "AcqData" / "DefaultMassCal.xml", default_masscal({{1, 2.0, 0.0}}));
  }
};

struct ConfigureCase {
  DecodeOptions decoding;
  BlockPreference prefer;  // the block the export reads
  bool picks;              // whether the chain starts with peak picking
  const char* problem;
};

TEST(ExportPicking, DecodingOptionsSetTheBlockAndTheFirstStep) {
  const ConfigureCase cases[] = {
      {{BlockPreference::Centroid, PickMode::None}, BlockPreference::Centroid, false, nullptr},
      {{BlockPreference::Centroid, PickMode::Missing}, BlockPreference::Centroid, true, nullptr},
      {{BlockPreference::Profile, PickMode::Missing}, BlockPreference::Profile, true, nullptr},
      {{BlockPreference::Centroid, PickMode::All}, BlockPreference::Profile, true, nullptr},
      {{BlockPreference::Profile, PickMode::All, {.min_snr = -1.0}}, BlockPreference::Profile, true, "min_snr"},
      {{BlockPreference::Profile, PickMode::Missing, {.min_intensity = NAN}}, BlockPreference::Profile, true,
       "min_intensity"},
      // Parameters without picking are not used, so not checked.
      {{BlockPreference::Profile, PickMode::None, {.min_snr = -1.0}}, BlockPreference::Profile, false, nullptr},
  };
  for (const ConfigureCase& c : cases) {
    ExportOptions options;
    const auto done = configure(*find_format("mzml"), {.compact = true, .decoding = c.decoding}, options);
    if (c.problem != nullptr) {
      ASSERT_FALSE(done);
      EXPECT_NE(done.error().display().find(c.problem), std::string::npos) << done.error().display();
      continue;
    }
    ASSERT_TRUE(done) << done.error().display();
    EXPECT_EQ(options.prefer, c.prefer);
    ASSERT_EQ(options.chain.steps().size(), c.picks ? 2u : 1u);  // picking, then the zero trimming of compact
    EXPECT_EQ(options.chain.steps().front()->describe().front().accession == "MS:1000035", c.picks);
  }
}

template <class T>
std::string base64_of(const std::vector<T>& values) {
  std::string out;
  append_base64(out, {reinterpret_cast<const std::uint8_t*>(values.data()), values.size() * sizeof(T)});
  return out;
}

std::string param_value(pugi::xml_node method, const char* name) {
  return method.find_child_by_attribute("userParam", "name", name).attribute("value").value();
}

TEST(ExportPicking, WrittenPeaksAreTheDecodedOnesAndReferToTheirProcessing) {
  const PickingRun run;
  const velorium::Reader reader = velorium::Reader::open(run.root).value();
  for (const DecodeOptions decoding : {DecodeOptions{BlockPreference::Centroid, PickMode::Missing, {0.0, 3.0}},
                                       DecodeOptions{BlockPreference::Profile, PickMode::Missing, {100.0, 2.0}},
                                       DecodeOptions{BlockPreference::Centroid, PickMode::All, {2500.0, 0.0}}}) {
    SCOPED_TRACE(static_cast<int>(decoding.pick));
    ExportOptions options;
    ASSERT_TRUE(configure(*find_format("mzml"), {.compression = false, .decoding = decoding}, options));
    StringSink sink;
    ASSERT_TRUE(write_mzml(reader, sink, options));
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_buffer(sink.str().data(), sink.str().size()));
    const pugi::xml_node mzml = doc.document_element().child("mzML");
    std::map<std::string, pugi::xml_node> processing;
    for (pugi::xml_node p : mzml.child("dataProcessingList").children("dataProcessing")) {
      processing[p.attribute("id").value()] = p;
    }
    const pugi::xml_node list = mzml.child("run").child("spectrumList");
    std::size_t i = 0;
    for (pugi::xml_node s : list.children("spectrum")) {
      SCOPED_TRACE(i);
      const lumora::SpectrumRecord want = velorium::peaks::spectrum(reader, i, decoding).value();
      ASSERT_FALSE(want.mz.empty());
      const auto arrays = s.child("binaryDataArrayList").children("binaryDataArray");
      EXPECT_EQ(arrays.begin()->child_value("binary"), base64_of(want.mz));
      EXPECT_EQ((++arrays.begin())->child_value("binary"), base64_of(want.intensity));
      const bool picked = decoding.picks(reader, i);
      EXPECT_TRUE(s.find_child_by_attribute("cvParam", "accession", "MS:1000127"));  // centroid spectrum
      const char* ref = s.attribute("dataProcessingRef") ? s.attribute("dataProcessingRef").value()
                                                         : list.attribute("defaultDataProcessingRef").value();
      const pugi::xml_node methods = processing.at(ref);
      const pugi::xml_node picking = methods.find_child([](pugi::xml_node m) {
        return m.find_child_by_attribute("cvParam", "accession", "MS:1000035") != nullptr;
      });
      EXPECT_EQ(picking != nullptr, picked);
      if (picked) {
        EXPECT_EQ(param_value(picking, "min_intensity"), velorium::text::display_f64(decoding.params.min_intensity));
        EXPECT_EQ(param_value(picking, "min_snr"), velorium::text::display_f64(decoding.params.min_snr));
        EXPECT_STREQ(picking.attribute("softwareRef").value(), "velorium");
      }
      ++i;
    }
    EXPECT_EQ(i, reader.scan_count());
  }
}

}  // namespace

// The mzML and MGF writers over a whole fuzzed acquisition (the input
// layout of the acquisition target, acquisition.hpp): every scan that
// decodes is written (through a processing chain chosen by the input's
// size), the others skipped, and the output is parsed back.
// The mzML must be well-formed XML with one spectrum element per written
// spectrum, every index offset must point at the element it names,
// indexListOffset at the index list, and the checksum must cover the file
// up to its own element. The MGF must hold one block per written spectrum.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "acquisition.hpp"
#include "velorium/output/sha1.hpp"
#include "velorium/output/export.hpp"
#include "velorium/reader.hpp"

namespace {

using velorium::output::ExportOptions;

std::size_t count_of(std::string_view text, std::string_view needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The `id` attribute of the element that starts at `at`, read by parsing the
// opening tag alone.
std::string id_at(std::string_view text, std::size_t at) {
  const std::size_t end = text.find('>', at);
  VELORIUM_FUZZ_CHECK(end != std::string_view::npos);
  std::string tag(text.substr(at, end - at));
  tag += "/>";
  pugi::xml_document doc;
  VELORIUM_FUZZ_CHECK(doc.load_buffer(tag.data(), tag.size()));
  return doc.first_child().attribute("id").value();
}

void check_mzml(std::string_view text, const velorium::output::ExportSummary& summary) {
  pugi::xml_document doc;
  const auto parsed = doc.load_buffer(text.data(), text.size());
  VELORIUM_FUZZ_CHECK(parsed);
  const pugi::xml_node root = doc.document_element();
  const bool indexed = std::string_view(root.name()) == "indexedmzML";
  const pugi::xml_node mzml = indexed ? root.child("mzML") : root;
  const pugi::xml_node run = mzml.child("run");
  const pugi::xml_node list = run.child("spectrumList");
  std::size_t spectra = 0;
  for (pugi::xml_node s = list.child("spectrum"); s; s = s.next_sibling("spectrum")) {
    VELORIUM_FUZZ_CHECK(s.attribute("index").as_ullong() == spectra);
    ++spectra;
  }
  VELORIUM_FUZZ_CHECK(spectra == summary.spectra);
  VELORIUM_FUZZ_CHECK(std::stoull(list.attribute("count").value()) == spectra);
  if (!indexed) {
    VELORIUM_FUZZ_CHECK(spectra == 0);
    return;
  }
  std::size_t offsets = 0;
  for (pugi::xml_node index = root.child("indexList").child("index"); index; index = index.next_sibling("index")) {
    const std::string kind = index.attribute("name").value();
    VELORIUM_FUZZ_CHECK(kind == "spectrum" || kind == "chromatogram");
    for (pugi::xml_node o = index.child("offset"); o; o = o.next_sibling("offset")) {
      const std::size_t at = std::stoull(o.child_value());
      VELORIUM_FUZZ_CHECK(at < text.size());
      VELORIUM_FUZZ_CHECK(text.substr(at, kind.size() + 1) == "<" + kind);
      VELORIUM_FUZZ_CHECK(id_at(text, at) == o.attribute("idRef").value());
      ++offsets;
    }
  }
  VELORIUM_FUZZ_CHECK(offsets == spectra + summary.chromatograms);
  const std::size_t index_at = std::stoull(root.child("indexListOffset").child_value());
  VELORIUM_FUZZ_CHECK(text.substr(index_at, 11) == "<indexList ");
  constexpr std::string_view kChecksum = "<fileChecksum>";
  const std::size_t checksum_at = text.rfind(kChecksum);
  VELORIUM_FUZZ_CHECK(checksum_at != std::string_view::npos);
  velorium::output::Sha1 sha1;
  sha1.update(text.substr(0, checksum_at + kChecksum.size()));
  VELORIUM_FUZZ_CHECK(sha1.hex_digest() == root.child("fileChecksum").child_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto root = velorium::fuzz::write_acquisition_folder(data, size);
  auto reader = velorium::Reader::open(root);
  if (!reader) return 0;

  ExportOptions options;
  options.skip_bad_scans = true;
  options.threads = 2;
  options.encoding.zlib = size % 2 == 0;
  if (size % 3 == 0) options.encoding.mz = velorium::output::MzEncoding::Float32;
  velorium::process::Options processing;
  processing.trim_zeros = size % 5 < 2;
  if (size % 7 == 0) processing.min_intensity = 10.0;
  if (size % 11 < 3) processing.top = 1 + size % 13;
  options.chain = velorium::process::chain_of(processing);
  velorium::output::StringSink mzml;
  const auto written = velorium::output::write_mzml(*reader, mzml, options);
  if (written) {
    check_mzml(mzml.str(), *written);
  } else {
    // Only a run whose every scan failed, or an unreadable MSScan.bin, fails.
    using Kind = velorium::output::ExportError::Kind;
    VELORIUM_FUZZ_CHECK(written.error().kind == Kind::Scan || written.error().kind == Kind::Input);
    VELORIUM_FUZZ_CHECK(mzml.str().find("<fileChecksum>") == std::string::npos);
  }

  velorium::output::StringSink mgf;
  const auto blocks = velorium::output::write_mgf(*reader, mgf, options);
  if (blocks) {
    VELORIUM_FUZZ_CHECK(count_of(mgf.str(), "BEGIN IONS\n") == blocks->spectra);
    VELORIUM_FUZZ_CHECK(count_of(mgf.str(), "END IONS\n") == blocks->spectra);
  }
  if (std::getenv("VELORIUM_FUZZ_VERBOSE") != nullptr && written) {
    std::fprintf(stderr, "%zu spectra, %zu skipped, %zu bytes of mzML\n", written->spectra, written->skipped,
                 mzml.str().size());
  }
  return 0;
}

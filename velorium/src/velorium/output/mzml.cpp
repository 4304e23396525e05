// Indexed mzML 1.1: the header from the run's metadata, one spectrum element
// per selected scan with its arrays encoded on the worker threads, the TIC
// and base-peak chromatograms, then the index of every spectrum and
// chromatogram and the checksum of the file.
#include <memory>
#include <string_view>
#include <utility>

#include "velorium/chromatograms.hpp"
#include "velorium/output/sha1.hpp"
#include "velorium/output/pipeline.hpp"
#include "velorium/output/xml.hpp"

namespace velorium::output {
namespace {

using lumora::SpectrumRecord;

constexpr std::string_view kRunConfiguration = "IC1";
constexpr std::string_view kSourceFileId = "RAW1";
constexpr std::string_view kSoftwareId = "velorium";
constexpr std::string_view kConversionId = "velorium_conversion";

struct Unit {
  std::string_view cv;
  std::string_view accession;
  std::string_view name;
};
constexpr Unit kMzUnit{"MS", "MS:1000040", "m/z"};
constexpr Unit kCountsUnit{"MS", "MS:1000131", "number of detector counts"};
constexpr Unit kSecondUnit{"UO", "UO:0000010", "second"};
constexpr Unit kElectronvoltUnit{"UO", "UO:0000266", "electronvolt"};

bool is_msn(std::uint32_t ms_level) noexcept { return ms_level >= 2; }

// "MS" of "MS:1000511".
std::string_view cv_of(std::string_view accession) { return accession.substr(0, accession.find(':')); }

void cv_param(XmlWriter& xml, std::string_view accession, std::string_view name, Attribute::Value value = {},
              const Unit* unit = nullptr) {
  if (unit == nullptr) {
    xml.empty("cvParam", {{"cvRef", Verbatim{cv_of(accession)}}, {"accession", accession}, {"name", name},
                          {"value", value}});
  } else {
    xml.empty("cvParam", {{"cvRef", Verbatim{cv_of(accession)}},
                          {"accession", accession},
                          {"name", name},
                          {"value", value},
                          {"unitCvRef", unit->cv},
                          {"unitAccession", unit->accession},
                          {"unitName", unit->name}});
  }
}

void user_param(XmlWriter& xml, std::string_view name, std::string_view value, std::string_view type = "xsd:string") {
  xml.empty("userParam", {{"name", name}, {"value", value}, {"type", type}});
}

void param(XmlWriter& xml, const process::Param& p) {
  if (p.accession.empty()) {
    user_param(xml, p.name, p.value, p.type);
    return;
  }
  if (p.unit_accession.empty()) {
    cv_param(xml, p.accession, p.name, std::string_view(p.value));
  } else {
    const Unit unit{cv_of(p.unit_accession), p.unit_accession, p.unit_name};
    cv_param(xml, p.accession, p.name, std::string_view(p.value), &unit);
  }
}

// The dataProcessing entries: the conversion alone (for the chromatograms,
// and for every spectrum when nothing is processed), and one per distinct
// set of steps that the spectra of each scan mode go through.
struct Processing {
  std::string id;
  std::uint64_t steps = 0;
};

std::vector<Processing> processings(const process::Chain& chain) {
  std::vector<Processing> out{{std::string(kConversionId), 0}};
  if (chain.empty()) return out;
  const std::pair<std::string_view, std::uint64_t> variants[] = {
      {"profile", chain.applicable(lumora::ScanMode::Profile)},
      {"centroid", chain.applicable(lumora::ScanMode::Centroid)},
      {"any", chain.applicable(std::nullopt)},
  };
  std::size_t distinct = 0;
  for (const auto& [mode, steps] : variants) {
    bool known = false;
    for (const Processing& p : out) known = known || p.steps == steps;
    if (!known) {
      out.push_back({"velorium_processing_" + std::string(mode), steps});
      ++distinct;
    }
  }
  if (distinct == 1) out.back().id = "velorium_processing";
  return out;
}

const std::string& processing_id(const std::vector<Processing>& table, std::uint64_t steps) {
  for (const Processing& p : table) {
    if (p.steps == steps) return p.id;
  }
  return table.front().id;  // not reached: every mask of the chain has its entry
}

struct MzmlHeader {
  bool indexed = true;
  bool has_ms1 = false;
  bool has_msn = false;
  std::string msscan_sha1;
};

std::string header_text(const Reader& reader, const MzmlHeader& h, const process::Chain& chain,
                        const std::vector<Processing>& table) {
  const lumora::RunMetadata meta = reader.run_metadata();
  const std::string run_id = xml_name(meta.source_file_name);
  std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  XmlWriter xml(out);
  constexpr Verbatim kNamespace{"http://psi.hupo.org/ms/mzml"};
  constexpr Verbatim kSchemaInstance{"http://www.w3.org/2001/XMLSchema-instance"};
  if (h.indexed) {
    xml.open("indexedmzML", {{"xmlns", kNamespace},
                             {"xmlns:xsi", kSchemaInstance},
                             {"xsi:schemaLocation", Verbatim{"http://psi.hupo.org/ms/mzml "
                                                             "http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd"}}});
  }
  xml.open("mzML",
           {{"xmlns", kNamespace},
            {"xmlns:xsi", kSchemaInstance},
            {"xsi:schemaLocation",
             Verbatim{"http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd"}},
            {"id", run_id},
            {"version", Verbatim{"1.1.0"}}});
  xml.open("cvList", {{"count", std::uint64_t{2}}});
  xml.empty("cv", {{"id", Verbatim{"MS"}},
                   {"fullName", Verbatim{"Proteomics Standards Initiative Mass Spectrometry Ontology"}},
                   {"URI", Verbatim{"https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo"}}});
  xml.empty("cv", {{"id", Verbatim{"UO"}},
                   {"fullName", Verbatim{"Unit Ontology"}},
                   {"URI", Verbatim{"https://raw.githubusercontent.com/bio-ontology-research-group/unit-ontology/"
                                    "master/unit.obo"}}});
  xml.close("cvList");

  xml.open("fileDescription");
  xml.open("fileContent");
  if (h.has_ms1) cv_param(xml, "MS:1000579", "MS1 spectrum");
  if (h.has_msn) cv_param(xml, "MS:1000580", "MSn spectrum");
  xml.close("fileContent");
  xml.open("sourceFileList", {{"count", std::uint64_t{1}}});
  xml.open("sourceFile", {{"id", kSourceFileId},
                          {"name", Verbatim{"MSScan.bin"}},
                          {"location", std::string_view(file_uri(reader.root() / "AcqData"))}});
  cv_param(xml, meta.native_id_format.accession.view(), meta.native_id_format.name.view());
  cv_param(xml, meta.source_file_format.accession.view(), meta.source_file_format.name.view());
  cv_param(xml, "MS:1000569", "SHA-1", std::string_view(h.msscan_sha1));
  xml.close("sourceFile");
  xml.close("sourceFileList");
  xml.close("fileDescription");

  xml.open("softwareList", {{"count", std::uint64_t{1}}});
  xml.open("software", {{"id", kSoftwareId}, {"version", std::string_view(meta.software_version)}});
  cv_param(xml, "MS:1000799", "custom unreleased software tool", std::string_view(meta.software_name));
  xml.close("software");
  xml.close("softwareList");

  xml.open("instrumentConfigurationList", {{"count", std::uint64_t{1}}});
  xml.open("instrumentConfiguration", {{"id", kRunConfiguration}});
  // The reader's fallback instrument term (no device description) is not an
  // instrument model in the ontology: the generic Agilent model term stands
  // in for it, and its text is kept as a user parameter.
  if (meta.instrument.accession.view() == "MS:1000461") {
    cv_param(xml, "MS:1000490", "Agilent instrument model");
    user_param(xml, "instrument model", meta.instrument.name.view());
  } else {
    cv_param(xml, meta.instrument.accession.view(), meta.instrument.name.view());
  }
  // Neither the ion source nor the detector is recorded, and a component
  // list needs a type term for each: the analyzer is named as a user
  // parameter instead.
  user_param(xml, "mass analyzer type",
             reader.analyzer() == lumora::Analyzer::Tqms ? "quadrupole" : "time-of-flight");
  xml.close("instrumentConfiguration");
  xml.close("instrumentConfigurationList");

  xml.open("dataProcessingList", {{"count", std::uint64_t{table.size()}}});
  for (const Processing& p : table) {
    xml.open("dataProcessing", {{"id", std::string_view(p.id)}});
    xml.open("processingMethod", {{"order", std::uint64_t{0}}, {"softwareRef", kSoftwareId}});
    cv_param(xml, "MS:1000544", "Conversion to mzML");
    xml.close("processingMethod");
    std::uint64_t order = 1;
    const auto steps = chain.steps();
    for (std::size_t k = 0; k < steps.size(); ++k) {
      if ((p.steps >> k & 1) == 0) continue;
      xml.open("processingMethod", {{"order", order++}, {"softwareRef", kSoftwareId}});
      for (const process::Param& term : steps[k]->describe()) param(xml, term);
      xml.close("processingMethod");
    }
    xml.close("dataProcessing");
  }
  xml.close("dataProcessingList");

  std::vector<Attribute> run{{"id", std::string_view(run_id)},
                             {"defaultInstrumentConfigurationRef", kRunConfiguration},
                             {"defaultSourceFileRef", kSourceFileId}};
  if (meta.start_timestamp && is_xml_datetime(*meta.start_timestamp)) {
    run.push_back({"startTimeStamp", std::string_view(*meta.start_timestamp)});
  }
  xml.open("run", run);
  return out;
}

// The encoded arrays of one spectrum, made on a worker thread.
struct EncodedArrays {
  ArrayEncoder encoder;
  EncodedArray mz;
  EncodedArray intensity;
};

void binary_array(XmlWriter& xml, const EncodedArray& array, std::string_view accession, std::string_view name,
                  const Unit& unit) {
  xml.open("binaryDataArray", {{"encodedLength", std::uint64_t{array.base64.size()}}});
  cv_param(xml, array.data_type.accession, array.data_type.name);
  cv_param(xml, array.compression.accession, array.compression.name);
  cv_param(xml, accession, name, {}, &unit);
  xml.leaf("binary", {}, Verbatim{array.base64});
  xml.close("binaryDataArray");
}

void spectrum_text(XmlWriter& xml, const SpectrumRecord& s, std::size_t position, const EncodedArrays& arrays,
                   const std::string* processing) {
  std::vector<Attribute> attributes{{"index", std::uint64_t{position}},
                                    {"id", std::string_view(s.native_id)},
                                    {"defaultArrayLength", std::uint64_t{s.mz.size()}}};
  if (processing != nullptr) attributes.push_back({"dataProcessingRef", std::string_view(*processing)});
  xml.open("spectrum", attributes);
  cv_param(xml, "MS:1000511", "ms level", std::uint64_t{s.ms_level});
  if (is_msn(s.ms_level)) {
    cv_param(xml, "MS:1000580", "MSn spectrum");
  } else {
    cv_param(xml, "MS:1000579", "MS1 spectrum");
  }
  if (s.scan_mode == lumora::ScanMode::Profile) {
    cv_param(xml, "MS:1000128", "profile spectrum");
  } else {
    cv_param(xml, "MS:1000127", "centroid spectrum");
  }
  if (s.polarity == lumora::Polarity::Positive) cv_param(xml, "MS:1000130", "positive scan");
  if (s.polarity == lumora::Polarity::Negative) cv_param(xml, "MS:1000129", "negative scan");
  cv_param(xml, "MS:1000285", "total ion current", s.effective_tic());
  if (const auto base_peak = s.effective_base_peak()) {
    cv_param(xml, "MS:1000504", "base peak m/z", base_peak->first, &kMzUnit);
    cv_param(xml, "MS:1000505", "base peak intensity", base_peak->second, &kCountsUnit);
  }
  if (s.low_mz) cv_param(xml, "MS:1000528", "lowest observed m/z", *s.low_mz, &kMzUnit);
  if (s.high_mz) cv_param(xml, "MS:1000527", "highest observed m/z", *s.high_mz, &kMzUnit);

  xml.open("scanList", {{"count", std::uint64_t{1}}});
  cv_param(xml, "MS:1000795", "no combination");
  xml.open("scan");
  cv_param(xml, "MS:1000016", "scan start time", s.retention_time_sec, &kSecondUnit);
  xml.close("scan");
  xml.close("scanList");

  if (s.precursor) {
    const lumora::Precursor& p = *s.precursor;
    xml.open("precursorList", {{"count", std::uint64_t{1}}});
    xml.open("precursor");
    if (p.target_mz) {
      xml.open("isolationWindow");
      cv_param(xml, "MS:1000827", "isolation window target m/z", *p.target_mz, &kMzUnit);
      xml.close("isolationWindow");
      xml.open("selectedIonList", {{"count", std::uint64_t{1}}});
      xml.open("selectedIon");
      cv_param(xml, "MS:1000744", "selected ion m/z", *p.target_mz, &kMzUnit);
      xml.close("selectedIon");
      xml.close("selectedIonList");
    }
    xml.open("activation");
    // These instruments fragment by collision-induced dissociation; the
    // reader names no other method.
    cv_param(xml, "MS:1000133", "collision-induced dissociation");
    if (p.collision_energy) cv_param(xml, "MS:1000045", "collision energy", *p.collision_energy, &kElectronvoltUnit);
    xml.close("activation");
    xml.close("precursor");
    xml.close("precursorList");
  }

  xml.open("binaryDataArrayList", {{"count", std::uint64_t{2}}});
  binary_array(xml, arrays.mz, "MS:1000514", "m/z array", kMzUnit);
  binary_array(xml, arrays.intensity, "MS:1000515", "intensity array", kCountsUnit);
  xml.close("binaryDataArrayList");
  xml.close("spectrum");
}

struct Offset {
  std::string id;
  std::uint64_t offset;
};

void index_text(std::string& out, std::string_view name, const std::vector<Offset>& offsets) {
  XmlWriter xml(out, 2);
  xml.open("index", {{"name", Verbatim{name}}});
  std::string number;
  for (const Offset& o : offsets) {
    number.clear();
    append_number(number, o.offset);
    xml.leaf("offset", {{"idRef", std::string_view(o.id)}}, Verbatim{number});
  }
  xml.close("index");
}

}  // namespace

ExportResult write_mzml(const Reader& reader, Sink& sink, const ExportOptions& options) {
  const Format& format = *find_format("mzml");
  std::vector<std::size_t> indices = selected_scans(reader, format, options);
  MzmlHeader header;
  header.indexed = !indices.empty();
  for (const std::size_t i : indices) {
    (is_msn(reader.scan(i).ms_level) ? header.has_msn : header.has_ms1) = true;
  }
  // The file content needs one term: with nothing selected, the kind of the
  // lowest level asked for.
  if (indices.empty()) {
    const auto& levels = options.selection.ms_levels;
    (levels && !levels->empty() && is_msn(levels->front().low) ? header.has_msn : header.has_ms1) = true;
  }
  auto sha1 = sha1_of_file(reader.root() / "AcqData" / "MSScan.bin");
  if (!sha1) return input_failure("MSScan.bin", sha1.error());
  header.msscan_sha1 = std::move(*sha1);
  const int d = header.indexed ? 4 : 3;  // depth of a spectrum element
  const std::vector<Processing> table = processings(options.chain);
  const std::string& default_processing = processing_id(table, options.chain.applicable(lumora::ScanMode::Profile));

  OutputStream out(sink, header.indexed);
  VELORIUM_WRITE(out, header_text(reader, header, options.chain, table));
  // The count is written with as many digits as the number of selected
  // scans has; skipped scans lower it afterwards, padded with leading zeros.
  std::string text;
  XmlWriter list(text, d - 1);
  std::string count_text = std::to_string(indices.size());
  list.open("spectrumList", {{"count", Verbatim{count_text}}, {"defaultDataProcessingRef", std::string_view(default_processing)}});
  const std::size_t count_at = list.value_offset(0);
  VELORIUM_WRITE(out, std::string_view(text).substr(0, count_at));
  auto count_offset = out.write_patchable(count_text);
  if (!count_offset) return output_failure(count_offset.error());
  VELORIUM_WRITE(out, std::string_view(text).substr(count_at + count_text.size()));

  const ArrayEncoding encoding = options.encoding;
  ExportSummary summary;
  std::vector<Offset> spectrum_offsets;
  ChromatogramBuilder chromatograms;
  auto prepare = [&](const SpectrumRecord& s, EncodedArrays& a) {
    a.encoder.mz(s.mz, encoding.mz, encoding.zlib, a.mz);
    a.encoder.intensity(s.intensity, encoding.intensity, encoding.zlib, a.intensity);
  };
  auto emit = [&](const SpectrumRecord& s, EncodedArrays& a, std::uint64_t steps) -> std::expected<void, ExportError> {
    text.clear();
    XmlWriter xml(text, d);
    const std::string& processing = processing_id(table, steps);
    spectrum_text(xml, s, spectrum_offsets.size(), a, processing == default_processing ? nullptr : &processing);
    if (header.indexed) spectrum_offsets.push_back({s.native_id, out.offset() + static_cast<std::uint64_t>(d) * 2});
    VELORIUM_WRITE(out, text);
    chromatograms.add(s);
    ++summary.spectra;
    return {};
  };
  if (auto done = run_pipeline<EncodedArrays>(reader, std::move(indices), options, summary, prepare, emit); !done) {
    return std::unexpected(std::move(done).error());
  }
  if (summary.skipped != 0) {
    std::string fixed = std::to_string(summary.spectra);
    fixed.insert(0, count_text.size() - fixed.size(), '0');
    if (auto patched = out.patch(*count_offset, fixed); !patched) return output_failure(patched.error());
  }

  text.clear();
  XmlWriter xml(text, d);
  xml.close("spectrumList");
  VELORIUM_WRITE(out, text);

  std::vector<Offset> chromatogram_offsets;
  const std::vector<lumora::ChromatogramRecord> records = std::move(chromatograms).finish();
  if (!records.empty()) {
    text.clear();
    xml.open("chromatogramList", {{"count", std::uint64_t{records.size()}}, {"defaultDataProcessingRef", kConversionId}});
    VELORIUM_WRITE(out, text);
    ArrayEncoder encoder;
    EncodedArray times, values;
    encoder.floats(records.front().time_sec, encoding.zlib, times);
    for (const lumora::ChromatogramRecord& c : records) {
      encoder.floats(c.intensity, encoding.zlib, values);
      text.clear();
      xml.open("chromatogram", {{"index", c.index}, {"id", std::string_view(c.id)}, {"defaultArrayLength", std::uint64_t{c.time_sec.size()}}});
      cv_param(xml, c.chromatogram_type->accession.view(), c.chromatogram_type->name.view());
      xml.open("binaryDataArrayList", {{"count", std::uint64_t{2}}});
      binary_array(xml, times, "MS:1000595", "time array", kSecondUnit);
      binary_array(xml, values, "MS:1000515", "intensity array", kCountsUnit);
      xml.close("binaryDataArrayList");
      xml.close("chromatogram");
      chromatogram_offsets.push_back({c.id, out.offset() + static_cast<std::uint64_t>(d) * 2});
      VELORIUM_WRITE(out, text);
      ++summary.chromatograms;
    }
    text.clear();
    xml.close("chromatogramList");
    VELORIUM_WRITE(out, text);
  }
  text.clear();
  xml.close("run");
  xml.close("mzML");
  VELORIUM_WRITE(out, text);
  if (!header.indexed) {
    if (auto flushed = out.flush(); !flushed) return output_failure(flushed.error());
    return summary;
  }

  const std::uint64_t index_offset = out.offset() + 2;
  text.clear();
  XmlWriter tail(text, 1);
  tail.open("indexList", {{"count", std::uint64_t{chromatogram_offsets.empty() ? 1u : 2u}}});
  index_text(text, "spectrum", spectrum_offsets);
  if (!chromatogram_offsets.empty()) index_text(text, "chromatogram", chromatogram_offsets);
  tail.close("indexList");
  text += "  <indexListOffset>";
  append_number(text, index_offset);
  text += "</indexListOffset>\n  <fileChecksum>";
  VELORIUM_WRITE(out, text);
  auto digest = out.digest();
  if (!digest) return output_failure(digest.error());
  text = std::move(*digest);
  text += "</fileChecksum>\n</indexedmzML>\n";
  VELORIUM_WRITE(out, text);
  if (auto flushed = out.flush(); !flushed) return output_failure(flushed.error());
  return summary;
}

}  // namespace velorium::output

#include "velorium/mzml/writer.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "velorium/mzml/encode.hpp"
#include "velorium/mzml/xmltext.hpp"
#include "velorium/prefetch.hpp"
#include "velorium/text.hpp"

namespace velorium::mzml {
namespace {

using lumora::SpectrumRecord;

// --- Errors ---------------------------------------------------------------

std::unexpected<ExportError> output_failure(const Error& error) {
  const auto* io = error.as_io();
  return std::unexpected(ExportError{ExportError::Kind::Output, error.display(), io ? io->code : std::error_code()});
}

std::unexpected<ExportError> input_failure(std::string context, const Error& error) {
  const auto* io = error.as_io();
  return std::unexpected(
      ExportError{ExportError::Kind::Input, context + ": " + error.display(), io ? io->code : std::error_code()});
}

#define VELORIUM_WRITE(stream, text) \
  if (auto velorium_written = (stream).write(text); !velorium_written) return output_failure(velorium_written.error())

// --- The spectra, decoded ahead and prepared in parallel --------------------

// Runs the selected scans through a Prefetcher in batches. `prepare(record,
// slot)` runs on several threads at once (one batch position each) and
// `emit(record, slot)` on the calling thread, in scan order. A failed scan
// is reported to the reader in order; it ends the export unless the options
// skip it.
template <class Slot, class Prepare, class Emit>
std::expected<void, ExportError> for_each_spectrum(const Reader& reader, std::vector<std::size_t> indices,
                                                   const ExportOptions& options, ExportSummary& summary,
                                                   Prepare&& prepare, Emit&& emit) {
  const std::size_t total = indices.size();
  const unsigned threads = options.threads == 0 ? default_threads() : options.threads;
  const std::size_t batch_size = std::max<std::size_t>(1, std::size_t{threads} * 2);
  Prefetcher prefetcher(reader, std::move(indices), options.prefer, threads);
  std::vector<Slot> slots(batch_size);
  std::vector<SpectrumRecord> batch;
  batch.reserve(batch_size);
  std::size_t done = 0;
  bool more = true;
  while (more) {
    batch.clear();
    while (batch.size() < batch_size) {
      if (options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed)) {
        return std::unexpected(ExportError{ExportError::Kind::Cancelled, "interrupted", {}});
      }
      auto item = prefetcher.next();
      if (!item) {
        more = false;
        break;
      }
      if (!*item) {
        // The text RawReader raises for the same scan.
        std::string text = to_core(std::move(*item).error()).display();
        if (!options.skip_bad_scans) return std::unexpected(ExportError{ExportError::Kind::Scan, std::move(text), {}});
        if (summary.skipped++ == 0) summary.first_skipped = std::move(text);
        ++done;
        if (options.progress) options.progress(done, total);
        continue;
      }
      batch.push_back(std::move(**item));
    }
    parallel_for(batch.size(), std::min<unsigned>(threads, static_cast<unsigned>(batch.size())),
                 [&](std::size_t i) { prepare(batch[i], slots[i]); });
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (auto emitted = emit(batch[i], slots[i]); !emitted) return std::unexpected(std::move(emitted).error());
      ++done;
      if (options.progress) options.progress(done, total);
    }
  }
  if (summary.skipped != 0 && summary.skipped == total) {
    return std::unexpected(ExportError{ExportError::Kind::Scan,
                                       "no scan could be decoded (first failure: " + summary.first_skipped + ")", {}});
  }
  return {};
}

bool is_msn(std::uint32_t ms_level) noexcept { return ms_level >= 2; }

// --- mzML -------------------------------------------------------------------

constexpr std::string_view kRunConfiguration = "IC1";
constexpr std::string_view kSourceFileId = "RAW1";
constexpr std::string_view kSoftwareId = "velorium";
constexpr std::string_view kProcessingId = "velorium_conversion";

struct Unit {
  std::string_view cv;
  std::string_view accession;
  std::string_view name;
};
constexpr Unit kMzUnit{"MS", "MS:1000040", "m/z"};
constexpr Unit kCountsUnit{"MS", "MS:1000131", "number of detector counts"};
constexpr Unit kSecondUnit{"UO", "UO:0000010", "second"};
constexpr Unit kElectronvoltUnit{"UO", "UO:0000266", "electronvolt"};

void indent(std::string& out, int depth) { out.append(static_cast<std::size_t>(depth) * 2, ' '); }

void cv_param(std::string& out, int depth, std::string_view accession, std::string_view name,
              std::string_view value = {}, const Unit* unit = nullptr) {
  indent(out, depth);
  out += "<cvParam cvRef=\"MS\" accession=\"";
  out += accession;
  out += "\" name=\"";
  out += name;
  out += "\" value=\"";
  append_escaped(out, value);
  out += '"';
  if (unit != nullptr) {
    out += " unitCvRef=\"";
    out += unit->cv;
    out += "\" unitAccession=\"";
    out += unit->accession;
    out += "\" unitName=\"";
    out += unit->name;
    out += '"';
  }
  out += "/>\n";
}

template <class Number>
void cv_number(std::string& out, int depth, std::string_view accession, std::string_view name, Number value,
               const Unit* unit = nullptr) {
  std::string text;
  append_number(text, value);
  cv_param(out, depth, accession, name, text, unit);
}

void user_param(std::string& out, int depth, std::string_view name, std::string_view value) {
  indent(out, depth);
  out += "<userParam name=\"";
  append_escaped(out, name);
  out += "\" value=\"";
  append_escaped(out, value);
  out += "\" type=\"xsd:string\"/>\n";
}

// The encoded arrays of one spectrum, made on a worker thread.
struct EncodedArrays {
  std::unique_ptr<ZlibCompressor> compressor;
  std::vector<std::uint8_t> scratch;
  std::string mz;
  std::string intensity;
};

template <class T>
std::span<const std::uint8_t> bytes_of(const std::vector<T>& values) {
  return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size() * sizeof(T)};
}

void binary_array(std::string& out, int depth, std::string_view encoded, bool is_double, bool compressed,
                  std::string_view array_accession, std::string_view array_name, const Unit& unit) {
  indent(out, depth);
  out += "<binaryDataArray encodedLength=\"";
  append_number(out, std::uint64_t{encoded.size()});
  out += "\">\n";
  if (is_double) {
    cv_param(out, depth + 1, "MS:1000523", "64-bit float");
  } else {
    cv_param(out, depth + 1, "MS:1000521", "32-bit float");
  }
  if (compressed) {
    cv_param(out, depth + 1, "MS:1000574", "zlib compression");
  } else {
    cv_param(out, depth + 1, "MS:1000576", "no compression");
  }
  cv_param(out, depth + 1, array_accession, array_name, {}, &unit);
  indent(out, depth + 1);
  out += "<binary>";
  out += encoded;
  out += "</binary>\n";
  indent(out, depth);
  out += "</binaryDataArray>\n";
}

struct MzmlHeader {
  bool indexed = true;
  bool has_ms1 = false;
  bool has_msn = false;
  std::string msscan_sha1;
};

std::string header_text(const Reader& reader, const MzmlHeader& h) {
  const lumora::RunMetadata meta = reader.run_metadata();
  const std::string run_id = xml_name(meta.source_file_name);
  std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  constexpr std::string_view kNamespaces =
      " xmlns=\"http://psi.hupo.org/ms/mzml\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"";
  int depth = 0;
  if (h.indexed) {
    out += "<indexedmzML";
    out += kNamespaces;
    out += " xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd\">\n";
    depth = 1;
  }
  indent(out, depth);
  out += "<mzML";
  out += kNamespaces;
  out += " xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd\" id=\"";
  out += run_id;
  out += "\" version=\"1.1.0\">\n";
  const int d = depth + 1;
  indent(out, d);
  out += "<cvList count=\"2\">\n";
  indent(out, d + 1);
  out += "<cv id=\"MS\" fullName=\"Proteomics Standards Initiative Mass Spectrometry Ontology\" "
         "URI=\"https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo\"/>\n";
  indent(out, d + 1);
  out += "<cv id=\"UO\" fullName=\"Unit Ontology\" "
         "URI=\"https://raw.githubusercontent.com/bio-ontology-research-group/unit-ontology/master/unit.obo\"/>\n";
  indent(out, d);
  out += "</cvList>\n";

  indent(out, d);
  out += "<fileDescription>\n";
  indent(out, d + 1);
  out += "<fileContent>\n";
  if (h.has_ms1) cv_param(out, d + 2, "MS:1000579", "MS1 spectrum");
  if (h.has_msn) cv_param(out, d + 2, "MS:1000580", "MSn spectrum");
  indent(out, d + 1);
  out += "</fileContent>\n";
  indent(out, d + 1);
  out += "<sourceFileList count=\"1\">\n";
  indent(out, d + 2);
  out += "<sourceFile id=\"";
  out += kSourceFileId;
  out += "\" name=\"MSScan.bin\" location=\"";
  append_escaped(out, file_uri(reader.root() / "AcqData"));
  out += "\">\n";
  cv_param(out, d + 3, meta.native_id_format.accession.view(), meta.native_id_format.name.view());
  cv_param(out, d + 3, meta.source_file_format.accession.view(), meta.source_file_format.name.view());
  cv_param(out, d + 3, "MS:1000569", "SHA-1", h.msscan_sha1);
  indent(out, d + 2);
  out += "</sourceFile>\n";
  indent(out, d + 1);
  out += "</sourceFileList>\n";
  indent(out, d);
  out += "</fileDescription>\n";

  indent(out, d);
  out += "<softwareList count=\"1\">\n";
  indent(out, d + 1);
  out += "<software id=\"";
  out += kSoftwareId;
  out += "\" version=\"";
  append_escaped(out, meta.software_version);
  out += "\">\n";
  cv_param(out, d + 2, "MS:1000799", "custom unreleased software tool", meta.software_name);
  indent(out, d + 1);
  out += "</software>\n";
  indent(out, d);
  out += "</softwareList>\n";

  indent(out, d);
  out += "<instrumentConfigurationList count=\"1\">\n";
  indent(out, d + 1);
  out += "<instrumentConfiguration id=\"";
  out += kRunConfiguration;
  out += "\">\n";
  // The reader's fallback instrument term (no device description) is not an
  // instrument model in the ontology: the generic Agilent model term stands
  // in for it, and its text is kept as a user parameter.
  if (meta.instrument.accession.view() == "MS:1000461") {
    cv_param(out, d + 2, "MS:1000490", "Agilent instrument model");
    user_param(out, d + 2, "instrument model", meta.instrument.name.view());
  } else {
    cv_param(out, d + 2, meta.instrument.accession.view(), meta.instrument.name.view());
  }
  // Neither the ion source nor the detector is recorded, and a component
  // list needs a type term for each: the analyzer is named as a user
  // parameter instead.
  user_param(out, d + 2, "mass analyzer type",
             reader.analyzer() == lumora::Analyzer::Tqms ? "quadrupole" : "time-of-flight");
  indent(out, d + 1);
  out += "</instrumentConfiguration>\n";
  indent(out, d);
  out += "</instrumentConfigurationList>\n";

  indent(out, d);
  out += "<dataProcessingList count=\"1\">\n";
  indent(out, d + 1);
  out += "<dataProcessing id=\"";
  out += kProcessingId;
  out += "\">\n";
  indent(out, d + 2);
  out += "<processingMethod order=\"0\" softwareRef=\"";
  out += kSoftwareId;
  out += "\">\n";
  cv_param(out, d + 3, "MS:1000544", "Conversion to mzML");
  indent(out, d + 2);
  out += "</processingMethod>\n";
  indent(out, d + 1);
  out += "</dataProcessing>\n";
  indent(out, d);
  out += "</dataProcessingList>\n";

  indent(out, d);
  out += "<run id=\"";
  out += run_id;
  out += "\" defaultInstrumentConfigurationRef=\"";
  out += kRunConfiguration;
  out += "\" defaultSourceFileRef=\"";
  out += kSourceFileId;
  out += '"';
  if (meta.start_timestamp && is_xml_datetime(*meta.start_timestamp)) {
    out += " startTimeStamp=\"";
    out += *meta.start_timestamp;
    out += '"';
  }
  out += ">\n";
  return out;
}

void spectrum_text(std::string& out, const SpectrumRecord& s, std::size_t position, const EncodedArrays& arrays,
                   bool compressed, int d) {
  indent(out, d);
  out += "<spectrum index=\"";
  append_number(out, std::uint64_t{position});
  out += "\" id=\"";
  append_escaped(out, s.native_id);
  out += "\" defaultArrayLength=\"";
  append_number(out, std::uint64_t{s.mz.size()});
  out += "\">\n";
  cv_number(out, d + 1, "MS:1000511", "ms level", std::uint64_t{s.ms_level});
  if (is_msn(s.ms_level)) {
    cv_param(out, d + 1, "MS:1000580", "MSn spectrum");
  } else {
    cv_param(out, d + 1, "MS:1000579", "MS1 spectrum");
  }
  if (s.scan_mode == lumora::ScanMode::Profile) {
    cv_param(out, d + 1, "MS:1000128", "profile spectrum");
  } else {
    cv_param(out, d + 1, "MS:1000127", "centroid spectrum");
  }
  if (s.polarity == lumora::Polarity::Positive) cv_param(out, d + 1, "MS:1000130", "positive scan");
  if (s.polarity == lumora::Polarity::Negative) cv_param(out, d + 1, "MS:1000129", "negative scan");
  cv_number(out, d + 1, "MS:1000285", "total ion current", s.effective_tic());
  if (const auto base_peak = s.effective_base_peak()) {
    cv_number(out, d + 1, "MS:1000504", "base peak m/z", base_peak->first, &kMzUnit);
    cv_number(out, d + 1, "MS:1000505", "base peak intensity", base_peak->second, &kCountsUnit);
  }
  if (s.low_mz) cv_number(out, d + 1, "MS:1000528", "lowest observed m/z", *s.low_mz, &kMzUnit);
  if (s.high_mz) cv_number(out, d + 1, "MS:1000527", "highest observed m/z", *s.high_mz, &kMzUnit);

  indent(out, d + 1);
  out += "<scanList count=\"1\">\n";
  cv_param(out, d + 2, "MS:1000795", "no combination");
  indent(out, d + 2);
  out += "<scan>\n";
  cv_number(out, d + 3, "MS:1000016", "scan start time", s.retention_time_sec, &kSecondUnit);
  indent(out, d + 2);
  out += "</scan>\n";
  indent(out, d + 1);
  out += "</scanList>\n";

  if (s.precursor) {
    const lumora::Precursor& p = *s.precursor;
    indent(out, d + 1);
    out += "<precursorList count=\"1\">\n";
    indent(out, d + 2);
    out += "<precursor>\n";
    if (p.target_mz) {
      indent(out, d + 3);
      out += "<isolationWindow>\n";
      cv_number(out, d + 4, "MS:1000827", "isolation window target m/z", *p.target_mz, &kMzUnit);
      indent(out, d + 3);
      out += "</isolationWindow>\n";
      indent(out, d + 3);
      out += "<selectedIonList count=\"1\">\n";
      indent(out, d + 4);
      out += "<selectedIon>\n";
      cv_number(out, d + 5, "MS:1000744", "selected ion m/z", *p.target_mz, &kMzUnit);
      indent(out, d + 4);
      out += "</selectedIon>\n";
      indent(out, d + 3);
      out += "</selectedIonList>\n";
    }
    indent(out, d + 3);
    out += "<activation>\n";
    // These instruments fragment by collision-induced dissociation; the
    // reader names no other method.
    cv_param(out, d + 4, "MS:1000133", "collision-induced dissociation");
    if (p.collision_energy) {
      cv_number(out, d + 4, "MS:1000045", "collision energy", *p.collision_energy, &kElectronvoltUnit);
    }
    indent(out, d + 3);
    out += "</activation>\n";
    indent(out, d + 2);
    out += "</precursor>\n";
    indent(out, d + 1);
    out += "</precursorList>\n";
  }

  indent(out, d + 1);
  out += "<binaryDataArrayList count=\"2\">\n";
  binary_array(out, d + 2, arrays.mz, true, compressed, "MS:1000514", "m/z array", kMzUnit);
  binary_array(out, d + 2, arrays.intensity, false, compressed, "MS:1000515", "intensity array", kCountsUnit);
  indent(out, d + 1);
  out += "</binaryDataArrayList>\n";
  indent(out, d);
  out += "</spectrum>\n";
}

struct Offset {
  std::string id;
  std::uint64_t offset;
};

}  // namespace

std::vector<std::size_t> selected_scans(const Reader& reader, Format format, const ExportOptions& options) {
  std::vector<std::size_t> indices;
  const auto& records = reader.scan_index().records;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::uint32_t level = records[i].ms_level;
    const bool wanted = options.ms_level ? level == *options.ms_level : (format == Format::Mzml || is_msn(level));
    if (wanted) indices.push_back(i);
  }
  return indices;
}

ExportResult write_mzml(const Reader& reader, Sink& sink, const ExportOptions& options) {
  std::vector<std::size_t> indices = selected_scans(reader, Format::Mzml, options);
  MzmlHeader header;
  header.indexed = !indices.empty();
  for (const std::size_t i : indices) {
    (is_msn(reader.scan(i).ms_level) ? header.has_msn : header.has_ms1) = true;
  }
  // The file content needs one term: with nothing selected, the kind asked for.
  if (indices.empty()) (is_msn(options.ms_level.value_or(1)) ? header.has_msn : header.has_ms1) = true;
  auto sha1 = sha1_of_file(reader.root() / "AcqData" / "MSScan.bin");
  if (!sha1) return input_failure("MSScan.bin", sha1.error());
  header.msscan_sha1 = std::move(*sha1);
  const int d = header.indexed ? 4 : 3;  // depth of a spectrum element

  OutputStream out(sink, header.indexed);
  VELORIUM_WRITE(out, header_text(reader, header));
  // The count is written with as many digits as the number of selected
  // scans has; skipped scans lower it afterwards, padded with leading zeros.
  std::string line(static_cast<std::size_t>(d - 1) * 2, ' ');
  line += "<spectrumList count=\"";
  const std::uint64_t count_offset = out.offset() + line.size();
  std::string count_text;
  append_number(count_text, std::uint64_t{indices.size()});
  line += count_text;
  line += "\" defaultDataProcessingRef=\"";
  line += kProcessingId;
  line += "\">\n";
  VELORIUM_WRITE(out, line);

  const bool compressed = options.compression;
  ExportSummary summary;
  std::vector<Offset> spectrum_offsets;
  std::vector<float> times, tic, bpc;
  std::string text;
  auto prepare = [&](const SpectrumRecord& s, EncodedArrays& a) {
    if (compressed && !a.compressor) a.compressor = std::make_unique<ZlibCompressor>();
    ZlibCompressor* compressor = compressed ? a.compressor.get() : nullptr;
    encode_array(bytes_of(s.mz), compressor, a.scratch, a.mz);
    encode_array(bytes_of(s.intensity), compressor, a.scratch, a.intensity);
  };
  auto emit = [&](const SpectrumRecord& s, EncodedArrays& a) -> std::expected<void, ExportError> {
    text.clear();
    spectrum_text(text, s, spectrum_offsets.size(), a, compressed, d);
    if (header.indexed) spectrum_offsets.push_back({s.native_id, out.offset() + static_cast<std::uint64_t>(d) * 2});
    VELORIUM_WRITE(out, text);
    if (s.ms_level == 1) {
      const auto base_peak = s.effective_base_peak();
      times.push_back(static_cast<float>(s.retention_time_sec));
      tic.push_back(static_cast<float>(s.effective_tic()));
      bpc.push_back(base_peak ? static_cast<float>(base_peak->second) : 0.0f);
    }
    ++summary.spectra;
    return {};
  };
  if (auto done = for_each_spectrum<EncodedArrays>(reader, std::move(indices), options, summary, prepare, emit);
      !done) {
    return std::unexpected(std::move(done).error());
  }
  if (summary.skipped != 0) {
    std::string fixed;
    append_number(fixed, std::uint64_t{summary.spectra});
    fixed.insert(0, count_text.size() - fixed.size(), '0');
    if (auto patched = out.patch(count_offset, fixed); !patched) return output_failure(patched.error());
  }

  text.assign(static_cast<std::size_t>(d - 1) * 2, ' ');
  text += "</spectrumList>\n";
  VELORIUM_WRITE(out, text);

  std::vector<Offset> chromatogram_offsets;
  if (!times.empty()) {
    text.assign(static_cast<std::size_t>(d - 1) * 2, ' ');
    text += "<chromatogramList count=\"2\" defaultDataProcessingRef=\"";
    text += kProcessingId;
    text += "\">\n";
    VELORIUM_WRITE(out, text);
    std::unique_ptr<ZlibCompressor> compressor;
    if (compressed) compressor = std::make_unique<ZlibCompressor>();
    std::vector<std::uint8_t> scratch;
    std::string time_text, value_text;
    encode_array(bytes_of(times), compressor.get(), scratch, time_text);
    struct Chromatogram {
      std::string_view id, accession, name;
      const std::vector<float>* values;
    };
    const Chromatogram chromatograms[] = {{"TIC", "MS:1000235", "total ion current chromatogram", &tic},
                                          {"BPC", "MS:1000628", "basepeak chromatogram", &bpc}};
    std::uint64_t index = 0;
    for (const Chromatogram& c : chromatograms) {
      encode_array(bytes_of(*c.values), compressor.get(), scratch, value_text);
      text.clear();
      indent(text, d);
      text += "<chromatogram index=\"";
      append_number(text, index++);
      text += "\" id=\"";
      text += c.id;
      text += "\" defaultArrayLength=\"";
      append_number(text, std::uint64_t{times.size()});
      text += "\">\n";
      cv_param(text, d + 1, c.accession, c.name);
      indent(text, d + 1);
      text += "<binaryDataArrayList count=\"2\">\n";
      binary_array(text, d + 2, time_text, false, compressed, "MS:1000595", "time array", kSecondUnit);
      binary_array(text, d + 2, value_text, false, compressed, "MS:1000515", "intensity array", kCountsUnit);
      indent(text, d + 1);
      text += "</binaryDataArrayList>\n";
      indent(text, d);
      text += "</chromatogram>\n";
      chromatogram_offsets.push_back({std::string(c.id), out.offset() + static_cast<std::uint64_t>(d) * 2});
      VELORIUM_WRITE(out, text);
      ++summary.chromatograms;
    }
    text.assign(static_cast<std::size_t>(d - 1) * 2, ' ');
    text += "</chromatogramList>\n";
    VELORIUM_WRITE(out, text);
  }
  text.assign(static_cast<std::size_t>(d - 2) * 2, ' ');
  text += "</run>\n";
  text.append(static_cast<std::size_t>(d - 3) * 2, ' ');
  text += "</mzML>\n";
  VELORIUM_WRITE(out, text);
  if (!header.indexed) {
    if (auto flushed = out.flush(); !flushed) return output_failure(flushed.error());
    return summary;
  }

  const std::uint64_t index_offset = out.offset() + 2;
  text = "  <indexList count=\"";
  append_number(text, std::uint64_t{chromatogram_offsets.empty() ? 1u : 2u});
  text += "\">\n";
  const auto write_index = [&](std::string_view name, const std::vector<Offset>& offsets) {
    text += "    <index name=\"";
    text += name;
    text += "\">\n";
    for (const Offset& o : offsets) {
      text += "      <offset idRef=\"";
      append_escaped(text, o.id);
      text += "\">";
      append_number(text, o.offset);
      text += "</offset>\n";
    }
    text += "    </index>\n";
  };
  write_index("spectrum", spectrum_offsets);
  if (!chromatogram_offsets.empty()) write_index("chromatogram", chromatogram_offsets);
  text += "  </indexList>\n  <indexListOffset>";
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

// --- MGF --------------------------------------------------------------------

namespace {

struct PeakText {
  std::string text;
};

void mgf_block(std::string& out, const SpectrumRecord& s, const PeakText& peaks) {
  out += "BEGIN IONS\nTITLE=";
  out += s.native_id;
  out += '\n';
  if (s.precursor && s.precursor->target_mz) {
    out += "PEPMASS=";
    append_number(out, *s.precursor->target_mz);
    out += '\n';
  }
  out += "RTINSECONDS=";
  append_number(out, s.retention_time_sec);
  out += "\nSCANS=";
  append_number(out, std::uint64_t{s.scan_number});
  out += '\n';
  out += peaks.text;
  out += "END IONS\n\n";
}

}  // namespace

ExportResult write_mgf(const Reader& reader, Sink& sink, const ExportOptions& options) {
  OutputStream out(sink, false);
  ExportSummary summary;
  std::string text;
  auto prepare = [](const SpectrumRecord& s, PeakText& p) {
    p.text.clear();
    for (std::size_t i = 0; i < s.mz.size(); ++i) {
      append_number(p.text, s.mz[i]);
      p.text += ' ';
      append_number(p.text, s.intensity[i]);
      p.text += '\n';
    }
  };
  auto emit = [&](const SpectrumRecord& s, PeakText& p) -> std::expected<void, ExportError> {
    text.clear();
    mgf_block(text, s, p);
    VELORIUM_WRITE(out, text);
    ++summary.spectra;
    return {};
  };
  if (auto done = for_each_spectrum<PeakText>(reader, selected_scans(reader, Format::Mgf, options), options, summary,
                                              prepare, emit);
      !done) {
    return std::unexpected(std::move(done).error());
  }
  if (auto flushed = out.flush(); !flushed) return output_failure(flushed.error());
  return summary;
}

// --- Files ------------------------------------------------------------------

ExportResult export_file(const Reader& reader, const std::filesystem::path& destination, Format format,
                         const ExportOptions& options, bool replace) {
  const std::string shown = text::lossy_utf8(destination.native());
  const auto failed = [&](ExportError error) {
    if (error.kind == ExportError::Kind::Output) error.message = shown + ": " + error.message;
    return std::unexpected(std::move(error));
  };
  struct stat info {};
  if (::stat(destination.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      return failed({ExportError::Kind::Output, Error::io(std::make_error_code(std::errc::is_a_directory)).display(),
                     std::make_error_code(std::errc::is_a_directory)});
    }
    if (!replace) {
      return std::unexpected(ExportError{ExportError::Kind::Exists, shown + ": exists (not replaced)",
                                         std::make_error_code(std::errc::file_exists)});
    }
  }
  auto file = AtomicFile::create(destination);
  if (!file) return failed(output_failure(file.error()).error());
  ExportResult result = format == Format::Mzml ? write_mzml(reader, *file, options) : write_mgf(reader, *file, options);
  if (!result) return failed(std::move(result).error());
  if (auto committed = file->commit(replace); !committed) {
    const auto* io = committed.error().as_io();
    if (io != nullptr && io->code == std::errc::file_exists) {
      return std::unexpected(ExportError{ExportError::Kind::Exists, shown + ": exists (not replaced)", io->code});
    }
    return failed(output_failure(committed.error()).error());
  }
  return result;
}

}  // namespace velorium::mzml

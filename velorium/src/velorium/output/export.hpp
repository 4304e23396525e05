// Writing an acquisition in another format: the options, the table of
// formats (name, file extension, default selection, writer) that the
// command and the Python methods read, and the export of one file.
//
// Every writer runs the same pipeline: the selected scans are decoded ahead
// on worker threads, each spectrum goes through the processing chain and is
// encoded in parallel, and everything is written in scan order, with memory
// bounded by a few spectra whatever the size of the run.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "velorium/output/encode.hpp"
#include "velorium/output/sink.hpp"
#include "velorium/peaks/decode.hpp"
#include "velorium/process/chain.hpp"
#include "velorium/reader.hpp"
#include "velorium/selection.hpp"

namespace velorium::output {

// The TITLE of an MGF block unless asked otherwise: the form that search
// engines and the trans-proteomic pipeline parse. Fields: {run} (the folder
// name without ".d"), {folder} (the folder name), {scan} (the scan number),
// {charge} (the precursor charge, empty when unknown), {native_id}, {index}
// (the scan's position in the index), {rt} (retention time in seconds);
// "{{" and "}}" are braces.
inline constexpr std::string_view kDefaultMgfTitle =
    "{run}.{scan}.{scan}.{charge} File:\"{folder}\", NativeID:\"{native_id}\"";

struct ExportOptions {
  // Which block a scan with both is written from.
  BlockPreference prefer = BlockPreference::Profile;
  // Which scans; the criteria left unset take the format's default.
  ScanSelection selection;
  // The processing of each spectrum between decoding and encoding.
  process::Chain chain;
  // How the binary arrays are stored (mzML).
  ArrayEncoding encoding;
  // The TITLE of each MGF block (see kDefaultMgfTitle), already validated.
  std::string mgf_title = std::string(kDefaultMgfTitle);
  // Leave out the scans whose block fails to decode instead of failing.
  bool skip_bad_scans = false;
  // Decoding and encoding threads; 0: default_threads().
  unsigned threads = 0;
  // Called on the writing thread after each selected scan (written or
  // skipped) with the number done and the number selected.
  std::function<void(std::size_t done, std::size_t total)> progress;
  // When it becomes true, the writer stops before the next scan.
  const std::atomic<bool>* cancel = nullptr;
};

struct ExportSummary {
  std::size_t spectra = 0;        // spectra written
  std::size_t chromatograms = 0;  // chromatograms written (mzML)
  std::size_t skipped = 0;        // scans left out by skip_bad_scans
  std::string first_skipped;      // the error text of the first of them
};

struct ExportError {
  enum class Kind {
    Scan,       // a scan failed to decode: the Scan error's text
    Input,      // the acquisition could not be read
    Output,     // the output could not be written
    Exists,     // the destination exists and replacing it was not asked for
    Cancelled,  // ExportOptions::cancel became true
  };
  Kind kind = Kind::Output;
  std::string message;
  std::error_code code;  // the system error of Input and Output, when there is one
};

using ExportResult = std::expected<ExportSummary, ExportError>;

// One output format.
struct Format {
  std::string_view name;         // as the command and Python name it: "mzml"
  std::string_view extension;    // of its files: ".mzML"
  std::string_view description;  // for the command's help
  bool binary_arrays = false;    // takes ArrayEncoding
  bool titles = false;           // takes an MGF title
  // The scans it writes unless the selection says otherwise.
  ScanSelection (*default_selection)() = nullptr;
  ExportResult (*write)(const Reader& reader, Sink& sink, const ExportOptions& options) = nullptr;
};

// Every format, in the order the command lists them.
std::span<const Format> formats() noexcept;
// The format named `name` (letter case ignored), or null.
const Format* find_format(std::string_view name) noexcept;

// The MS-Numpress encodings asked for: linear for the m/z values, slof or
// pic for the intensities (Float32: none).
struct Numpress {
  bool linear = false;
  IntensityEncoding intensity = IntensityEncoding::Float32;

  friend bool operator==(const Numpress&, const Numpress&) = default;
};

// "none", or a comma-separated list of "linear", "slof" and "pic" (slof and
// pic exclude each other). A Parse error otherwise.
Result<Numpress> parse_numpress(std::string_view text);

// What the command and the Python methods are asked for, before it is
// checked against the format.
struct Settings {
  ScanSelection selection;
  process::Options processing;
  bool compression = true;                   // zlib on the binary arrays
  std::optional<unsigned> mz_precision;      // 32 or 64 bits
  std::optional<Numpress> numpress;
  // Zero trimming, MS-Numpress linear m/z and slof intensities, with zlib.
  bool compact = false;
  std::optional<std::string> mgf_title;      // a title template
  // The spectra as an acquisition opened with these options hands them out:
  // the block read (ExportOptions::prefer) and, with picking, the centroids
  // of the profile spectra (the processing chain's first step), each picked
  // by the same function as the acquisition's, so the written peaks are
  // those it hands out, bit for bit.
  peaks::DecodeOptions decoding;
};

// Checks `settings` for `format` and fills the corresponding fields of
// `options` (block preference, selection, chain, encoding, title). A Parse error whose message
// names what does not fit: a value out of range (picking parameters
// included), a reversed or NaN range, an option the format does not take
// (array encodings for MGF, a title for mzML), or two options that
// contradict each other.
Result<void> configure(const Format& format, const Settings& settings, ExportOptions& options);

// The positions of the scans `format` writes under `options`, in scan order.
std::vector<std::size_t> selected_scans(const Reader& reader, const Format& format, const ExportOptions& options);

// Writes into a temporary file beside `destination` and renames it to
// `destination` only when everything succeeded (publish.hpp); a failure
// leaves no file behind and the destination as it was. A destination whose
// name ends in ".gz" is written gzip-compressed. Without `replace`, an
// existing destination fails the export (Exists) before anything is decoded
// and, should one appear meanwhile, at the rename.
ExportResult export_file(const Reader& reader, const std::filesystem::path& destination, const Format& format,
                         const ExportOptions& options, bool replace);

// The writers of the table (mzml.cpp, mgf.cpp). write_mzml writes indexed
// mzML 1.1; a run with no scan to write gives a plain (non-indexed) mzML
// document, which has nothing to index. write_mgf writes one block per
// selected spectrum.
ExportResult write_mzml(const Reader& reader, Sink& sink, const ExportOptions& options);
ExportResult write_mgf(const Reader& reader, Sink& sink, const ExportOptions& options);

// The TITLE template's problems: an unknown field, an unmatched brace, a
// line break. A Parse error naming it.
Result<void> validate_title(std::string_view title);

}  // namespace velorium::output

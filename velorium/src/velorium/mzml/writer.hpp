// Streaming writers of indexed mzML 1.1 and of MGF over an opened
// acquisition: the selected scans are decoded ahead on worker threads,
// their arrays encoded in parallel, and everything is written in scan order
// with memory bounded by a few spectra whatever the size of the run.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "velorium/mzml/output.hpp"
#include "velorium/reader.hpp"

namespace velorium::mzml {

enum class Format { Mzml, Mgf };

struct ExportOptions {
  // Which block a scan with both is written from.
  BlockPreference prefer = BlockPreference::Profile;
  // zlib-compressed binary arrays (mzML).
  bool compression = true;
  // Only the spectra of this MS level. Without it, mzML holds every scan
  // and MGF every scan of MS level 2 or more.
  std::optional<std::uint32_t> ms_level;
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

// The positions of the scans a writer of `format` writes, in scan order.
std::vector<std::size_t> selected_scans(const Reader& reader, Format format, const ExportOptions& options);

// Writes the acquisition as indexed mzML into `sink`. A run with no scan to
// write gives a plain (non-indexed) mzML document, which has nothing to
// index.
ExportResult write_mzml(const Reader& reader, Sink& sink, const ExportOptions& options);

// Writes one MGF block per selected spectrum into `sink`.
ExportResult write_mgf(const Reader& reader, Sink& sink, const ExportOptions& options);

// Writes into a temporary file beside `destination` and renames it to
// `destination` only when everything succeeded; a failure leaves no file
// behind and the destination as it was. Without `replace`, an existing
// destination fails the export (Exists) before anything is decoded and,
// should one appear meanwhile, at the rename.
ExportResult export_file(const Reader& reader, const std::filesystem::path& destination, Format format,
                         const ExportOptions& options, bool replace);

}  // namespace velorium::mzml

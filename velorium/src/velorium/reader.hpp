// One opened acquisition: the scan index, the calibration of every scan,
// the instrument description and the paths of the data files, everything
// needed to decode any spectrum on demand. Implements SpectrumSource.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "velorium/version.hpp"  // kSoftwareVersion
#include "lumora/source.hpp"
#include "lumora/types.hpp"
#include "velorium/device_info.hpp"
#include "velorium/error.hpp"
#include "velorium/scan_index.hpp"

namespace velorium {

namespace raw {
struct CalibrationList;  // the mass calibration of every scan, private to the library
}

inline constexpr std::string_view kSoftwareName = "velorium";

// The two kinds of spectrum block: the profile block of MSProfile.bin and
// the centroid (peak) block of MSPeak.bin.
enum class BlockKind { Profile, Centroid };

// "profile" or "centroid": the name that error texts and log records use.
std::string_view block_kind_name(BlockKind kind) noexcept;

// Which block a scan that carries both is read from. Profile: the profile
// block, or the centroid block when the profile block is empty. Centroid:
// the centroid block wherever the scan has one.
enum class BlockPreference { Profile, Centroid };

// A block that failed to decode, before it is counted and logged.
struct BlockFailure {
  BlockKind kind = BlockKind::Profile;
  std::uint32_t scan_id = 0;
  Error error;
};

using DecodeResult = std::expected<lumora::SpectrumRecord, BlockFailure>;

// The block that decode_spectrum reads a scan's peaks from, known from the
// scan record alone: the profile block when it has points or the scan has
// no centroid block (an empty profile block is still decoded, and may fail,
// before the centroid block is read); the centroid block otherwise, or under
// BlockPreference::Centroid wherever there is one. `kind` is Centroid also
// for a scan with neither block. A successful decode yields exactly
// `point_count` points.
struct BlockPlan {
  BlockKind kind = BlockKind::Centroid;
  std::uint32_t point_count = 0;
  const SpectrumParams* params = nullptr;  // the descriptor read, or null for none
};

// Per-thread working memory of decode_spectrum_into, reused from scan to
// scan (velorium/raw/decode_scratch.hpp, private to the library).
struct DecodeScratch;

// A failure counter that moves with its owner.
class FailureCount {
 public:
  FailureCount() = default;
  FailureCount(FailureCount&& other) noexcept : value_(other.value_.load(std::memory_order_relaxed)) {}
  FailureCount& operator=(FailureCount&&) = delete;
  std::uint64_t increment() noexcept { return value_.fetch_add(1, std::memory_order_relaxed); }
  std::uint64_t load() const noexcept { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> value_{0};
};

// The label of a run in log records and run metadata (the name of its
// acquisition folder): the last plain component of the path, as text with
// invalid UTF-8 replaced; "bundle.d" when the path has none (empty, ".", a
// root, or a path ending in "..").
std::string run_label(const std::filesystem::path& root);

class Reader final : public lumora::SpectrumSource {
 public:
  // Opens the acquisition folder `path` (the folder that holds AcqData).
  // Only a missing AcqData or an unreadable or malformed MSScan.bin fails;
  // every other file is optional.
  static Result<Reader> open(const std::filesystem::path& path);

  Reader(Reader&& other) noexcept = default;
  Reader& operator=(Reader&&) = delete;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() override = default;

  // Number of scans in the scan index.
  std::size_t scan_count() const noexcept { return scan_index_.records.size(); }

  // The scan index as decoded from MSScan.bin.
  const ScanIndex& scan_index() const noexcept { return scan_index_; }

  // The scan index record of scan `index` (below scan_count()).
  const ScanRecord& scan(std::size_t index) const noexcept { return scan_index_.records[index]; }

  // Where the mass calibration of scan `index` comes from, or nothing when
  // the scan has none (every scan of a triple-quadrupole layout).
  std::optional<CalibrationSource> calibration_source(std::size_t index) const noexcept;

  // Decodes the spectrum of scan `index` (below scan_count()). Pure: no log
  // record and no counter, so that callers decoding on several threads can
  // report failures in scan order afterwards. Safe from any thread.
  DecodeResult decode_spectrum(std::size_t index, BlockPreference prefer = BlockPreference::Profile) const;

  // Which block decode_spectrum reads for scan `index` and how many points
  // it yields (see BlockPlan).
  BlockPlan block_plan(std::size_t index, BlockPreference prefer = BlockPreference::Profile) const noexcept;

  // decode_spectrum with the points written into `mz` and `intensity`
  // instead of the record, whose mz and intensity stay empty. Both spans
  // hold exactly block_plan(index, prefer).point_count points. The same
  // checks, errors and values bit for bit; on failure the contents of the
  // spans are unspecified. Pure and safe from any thread, each with its own
  // scratch.
  DecodeResult decode_spectrum_into(std::size_t index, BlockPreference prefer, std::span<double> mz,
                                    std::span<float> intensity, DecodeScratch& scratch) const;

  // Counts and logs one block failure (the first of its kind at warn level,
  // the later ones at debug level) and returns it as a Scan error.
  Error report_failure(BlockFailure failure) const;

  // decode_spectrum, with a failure reported at once. The reader stays
  // usable after a failure. Safe from any thread.
  Result<lumora::SpectrumRecord> spectrum(std::size_t index, BlockPreference prefer = BlockPreference::Profile) const;

  std::unique_ptr<lumora::SpectrumIterator> iter_spectra() const override;
  lumora::RunMetadata run_metadata() const override;
  std::unique_ptr<lumora::ChromatogramIterator> iter_chromatograms() const override;

  const std::filesystem::path& root() const noexcept { return root_; }
  const std::string& source_file_name() const noexcept { return source_file_name_; }
  const std::filesystem::path& peak_path() const noexcept { return peak_path_; }
  const std::filesystem::path& profile_path() const noexcept { return profile_path_; }
  const std::optional<DeviceInfo>& device() const noexcept { return device_; }
  const lumora::CvTerm& instrument() const noexcept { return instrument_; }
  const std::optional<std::string>& acquired_time() const noexcept { return acquired_time_; }
  lumora::Analyzer analyzer() const noexcept { return analyzer_; }
  std::uint64_t profile_failures() const noexcept { return profile_failures_.load(); }
  std::uint64_t centroid_failures() const noexcept { return centroid_failures_.load(); }

 private:
  Reader() = default;

  // The record of scan `index` read in `mode`, without peaks.
  lumora::SpectrumRecord record_without_peaks(std::size_t index, lumora::ScanMode mode) const;

  std::filesystem::path root_;
  std::string source_file_name_;
  ScanIndex scan_index_;
  std::filesystem::path peak_path_;
  std::filesystem::path profile_path_;
  std::shared_ptr<const raw::CalibrationList> calibrations_;  // never null once opened
  std::optional<DeviceInfo> device_;
  lumora::CvTerm instrument_;
  std::optional<std::string> acquired_time_;
  mutable FailureCount profile_failures_;
  mutable FailureCount centroid_failures_;
  lumora::Analyzer analyzer_ = lumora::Analyzer::Tofms;
};

}  // namespace velorium

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
namespace internal {
struct ReaderAccess;  // the library's own decoding paths (velorium/internal/decoding.hpp)
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

// The block that a scan's peaks are decoded from, known from the scan record
// alone: the profile block when it has points or the scan has no centroid
// block (an empty profile block is still decoded, and may fail, before the
// centroid block is read); the centroid block otherwise, or under
// BlockPreference::Centroid wherever there is one. `kind` is Centroid also
// for a scan with neither block. A successful decode yields exactly
// `point_count` points.
struct BlockPlan {
  BlockKind kind = BlockKind::Centroid;
  std::uint32_t point_count = 0;
  const SpectrumParams* params = nullptr;  // the descriptor read, or null for none
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

  // Which block the spectrum of scan `index` is decoded from and how many
  // points it yields (see BlockPlan); decodes nothing.
  BlockPlan block_plan(std::size_t index, BlockPreference prefer = BlockPreference::Profile) const noexcept;

  // Decodes the spectrum of scan `index` (below scan_count()). A block that
  // fails is counted and logged (the first of its kind at warn level, the
  // later ones at debug level) and returned as a Scan error; the reader
  // stays usable. Safe from any thread.
  Result<lumora::SpectrumRecord> spectrum(std::size_t index, BlockPreference prefer = BlockPreference::Profile) const;

  std::unique_ptr<lumora::SpectrumIterator> iter_spectra() const override;
  lumora::RunMetadata run_metadata() const override;
  std::unique_ptr<lumora::ChromatogramIterator> iter_chromatograms() const override;

  const std::filesystem::path& root() const noexcept { return root_; }
  const std::string& source_file_name() const noexcept { return source_file_name_; }
  const std::optional<DeviceInfo>& device() const noexcept { return device_; }
  const lumora::CvTerm& instrument() const noexcept { return instrument_; }
  const std::optional<std::string>& acquired_time() const noexcept { return acquired_time_; }
  lumora::Analyzer analyzer() const noexcept { return analyzer_; }
  std::uint64_t profile_failures() const noexcept { return profile_failures_.load(); }
  std::uint64_t centroid_failures() const noexcept { return centroid_failures_.load(); }

 private:
  friend struct internal::ReaderAccess;

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

  Reader() = default;

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

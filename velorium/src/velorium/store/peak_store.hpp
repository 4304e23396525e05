// A columnar store of decoded spectra: one float64 m/z column and one
// float32 intensity column for all points of the spectra it holds, the
// offsets of each spectrum's points, and each spectrum's record without its
// peaks. Built once, in parallel, straight into its final memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "lumora/types.hpp"
#include "velorium/error.hpp"
#include "velorium/peaks/decode.hpp"
#include "velorium/reader.hpp"

namespace velorium::store {

// The two columns' memory: one anonymous mapping that asks the kernel for
// huge pages (its pages are first touched by the threads that fill them);
// one heap allocation for columns smaller than kMinMappedBytes, where whole
// huge pages would cost more than they save, and where no mapping can be
// had.
class Columns {
 public:
  static constexpr std::size_t kMinMappedBytes = std::size_t{8} << 20;

  Columns() = default;
  Columns(Columns&& other) noexcept;
  Columns& operator=(Columns&& other) noexcept;
  Columns(const Columns&) = delete;
  Columns& operator=(const Columns&) = delete;
  ~Columns();

  // Room for `points` points, or nothing when neither a mapping nor the heap
  // can provide it. `allow_mapping` false takes the heap at once, as do
  // columns of fewer than kMinMappedBytes.
  static std::optional<Columns> allocate(std::uint64_t points, bool allow_mapping = true) noexcept;

  double* mz() const noexcept { return mz_; }
  float* intensity() const noexcept { return intensity_; }
  std::uint64_t points() const noexcept { return points_; }
  bool mapped() const noexcept { return mapping_ != nullptr; }

 private:
  void release() noexcept;

  double* mz_ = nullptr;
  float* intensity_ = nullptr;
  std::uint64_t points_ = 0;
  void* mapping_ = nullptr;  // munmap'd on release
  std::size_t mapping_length_ = 0;
  std::unique_ptr<std::byte[]> heap_;
};

// True when the m/z values never descend and none is NaN; true for no values.
bool ascends(std::span<const double> mz) noexcept;

// Immutable once built: one float64 m/z column and one float32 intensity
// column for all points of the spectra it holds, per-spectrum offsets,
// whether each spectrum's m/z values ascend, and each spectrum's record
// without peaks. Safe to share between threads.
class PeakStore {
 public:
  std::size_t size() const noexcept { return records_.size(); }  // spectra held
  std::span<const double> mz() const noexcept { return {columns_.mz(), points()}; }  // all points
  std::span<const float> intensity() const noexcept { return {columns_.intensity(), points()}; }
  std::span<const std::uint64_t> offsets() const noexcept { return offsets_; }  // size() + 1 entries
  std::span<const double> mz(std::size_t i) const noexcept {  // spectrum i's points
    return mz().subspan(offsets_[i], offsets_[i + 1] - offsets_[i]);
  }
  std::span<const float> intensity(std::size_t i) const noexcept {
    return intensity().subspan(offsets_[i], offsets_[i + 1] - offsets_[i]);
  }
  const lumora::SpectrumRecord& record(std::size_t i) const noexcept { return records_[i]; }  // mz/intensity empty
  // ascends(mz(i)), recorded when the spectrum was stored.
  bool ascending(std::size_t i) const noexcept { return ascending_[i] != 0; }

  std::size_t points() const noexcept { return static_cast<std::size_t>(offsets_.back()); }
  // True when the columns lie in their own anonymous mapping.
  bool mapped() const noexcept { return columns_.mapped(); }

  // `ascending` holds ascends(mz(i)) for each spectrum i, as 0 or 1.
  PeakStore(std::vector<lumora::SpectrumRecord> records, std::vector<std::uint64_t> offsets,
            std::vector<std::uint8_t> ascending, Columns columns) noexcept
      : records_(std::move(records)),
        offsets_(std::move(offsets)),
        ascending_(std::move(ascending)),
        columns_(std::move(columns)) {}
  PeakStore(const PeakStore&) = delete;
  PeakStore& operator=(const PeakStore&) = delete;

 private:
  std::vector<lumora::SpectrumRecord> records_;
  std::vector<std::uint64_t> offsets_;
  std::vector<std::uint8_t> ascending_;  // one byte per spectrum: the threads filling the store write their own
  Columns columns_;
};

// Decodes the scans `indices` (each below reader.scan_count(), in that
// order) in parallel into one store; threads 0 = default_threads(), 1 = on
// the calling thread only. Every spectrum is that of
// Reader::spectrum(index, prefer), bit for bit. The columns are sized
// from the scan records before decoding; a claim that the block's
// descriptor and the data file's size cannot back (the decode of such a
// block fails before it writes anything) reserves nothing. On a failure
// nothing is kept and the failure of the first failing position is
// returned, counted and logged as decoding the scans one by one in that
// order would have (the others are not reported); positions after it are
// not decoded once it is known.
Result<std::shared_ptr<const PeakStore>> build_store(const Reader& reader, std::span<const std::size_t> indices,
                                                     BlockPreference prefer, unsigned threads = 0);

// The same with every spectrum that of peaks::spectrum(reader, index,
// options): picked spectra are decoded and picked on the worker threads,
// then gathered into the columns.
Result<std::shared_ptr<const PeakStore>> build_store(const Reader& reader, std::span<const std::size_t> indices,
                                                     const peaks::DecodeOptions& options, unsigned threads = 0);

}  // namespace velorium::store

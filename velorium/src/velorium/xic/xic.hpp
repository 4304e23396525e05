// Extracted-ion chromatograms: for many target m/z values at once, the
// summed (or largest) intensity inside each target's window in every
// selected spectrum, computed in one pass over the spectra.
//
// Every (target, spectrum) cell is computed by one thread, adding the points
// in their order in the spectrum, so the values are the same bits whatever
// the thread count and whether a spectrum's m/z values are sorted or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "velorium/error.hpp"
#include "velorium/peaks/decode.hpp"
#include "velorium/reader.hpp"
#include "velorium/selection.hpp"

namespace velorium::store {
class PeakStore;
}

namespace velorium::xic {

// How a tolerance widens a target m/z value m into [m - w, m + w]:
// Ppm: w = tolerance * m * 1e-6 (in that order); Mz: w = tolerance.
enum class ToleranceUnit { Ppm, Mz };

// What a window's points become: the sum of their intensities in float64,
// added in spectrum order from +0.0; or the largest of them (NaN if any is
// NaN). 0 for a window without points either way.
enum class Aggregate { Sum, Max };

// The windows of a list of targets, validated once and sorted by their lower
// bound for the sweep. Immutable.
class Windows {
 public:
  // Targets and tolerance must be finite and non-negative; an
  // InvalidArgument error names "targets" or "tolerance" otherwise.
  static Result<Windows> make(std::span<const double> targets, double tolerance, ToleranceUnit unit);

  std::size_t size() const noexcept { return low_.size(); }

  // Bounds of the k-th window in ascending order of lower bound (ties keep
  // the targets' order) and the position of its target in the given list.
  double low(std::size_t k) const noexcept { return low_[k]; }
  double high(std::size_t k) const noexcept { return high_[k]; }
  std::size_t target(std::size_t k) const noexcept { return target_[k]; }

 private:
  std::vector<double> low_;
  std::vector<double> high_;
  std::vector<std::size_t> target_;
};

// The value of every window in one spectrum: out[t * stride] for the t-th
// target in the given order. Points are the pairs (mz[i], intensity[i]) for
// i below the shorter of the two lengths; a point with a NaN m/z is in no
// window. Spectra whose m/z values ascend are swept with a search into them;
// the others take a slower path with the same results.
void extract_spectrum(const Windows& windows, std::span<const double> mz, std::span<const float> intensity,
                      Aggregate aggregate, double* out, std::size_t stride);

// The result: values[t * scans() + s] for target t (in the given order) and
// selected scan s.
struct Chromatograms {
  std::size_t targets = 0;
  std::vector<double> retention_time_sec;  // of each selected scan
  std::vector<double> values;

  std::size_t scans() const noexcept { return retention_time_sec.size(); }
};

// Decodes the scans `indices` (each below reader.scan_count()) on `threads`
// threads (0: default_threads()) and extracts every window from each. When a
// block fails, the first failing scan in the order of `indices` is counted
// and logged as Reader::spectrum does (whatever the thread count) and its
// error returned; later scans may be left undecoded.
Result<Chromatograms> extract(const Reader& reader, std::span<const std::size_t> indices, const Windows& windows,
                              Aggregate aggregate, BlockPreference prefer = BlockPreference::Profile,
                              unsigned threads = 0);

// The same with every spectrum that of peaks::spectrum(reader, index,
// options): the windows sweep the centroids of the picked spectra.
Result<Chromatograms> extract(const Reader& reader, std::span<const std::size_t> indices, const Windows& windows,
                              Aggregate aggregate, const peaks::DecodeOptions& options, unsigned threads = 0);

// The selected positions of a store, in order, from the records it holds
// (velorium::select_scans selects from a reader's scan index).
std::vector<std::size_t> select_scans(const store::PeakStore& store, const ScanSelection& selection);

// Extracts every window from the store's spectra at `positions` (each below
// store.size()) on `threads` threads (0: default_threads()), reading the
// decoded peaks in place and the order of each spectrum's m/z values that
// the store recorded when it was built.
Chromatograms extract(const store::PeakStore& store, std::span<const std::size_t> positions,
                      const Windows& windows, Aggregate aggregate, unsigned threads = 0);

}  // namespace velorium::xic

#include "velorium/xic/xic.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <new>
#include <numeric>

#include "velorium/internal/decoding.hpp"
#include "velorium/peaks/decode.hpp"
#include "velorium/prefetch.hpp"
#include "velorium/store/peak_store.hpp"
#include "velorium/text.hpp"

namespace velorium::xic {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

bool usable(double value) noexcept { return std::isfinite(value) && value >= 0.0; }

// Folds the intensities of one window's points, given in spectrum order.
template <Aggregate A>
class Fold {
 public:
  void add(float intensity) noexcept {
    const double v = static_cast<double>(intensity);
    if constexpr (A == Aggregate::Sum) {
      value_ += v;
    } else if (!any_) {
      value_ = v;
    } else if (!std::isnan(value_) && (v > value_ || std::isnan(v))) {
      value_ = v;
    }
    any_ = true;
  }
  double value() const noexcept { return any_ ? value_ : 0.0; }

 private:
  double value_ = 0.0;
  bool any_ = false;
};

// The first position at or after `from` whose m/z is not below `value`, in
// ascending values: doubling steps from `from`, then a binary search, so that
// the cost follows the distance moved.
std::size_t seek(std::span<const double> mz, std::size_t from, double value) noexcept {
  const std::size_t n = mz.size();
  if (from >= n || !(mz[from] < value)) return from;
  std::size_t below = from;  // mz[below] < value
  std::size_t step = 1;
  std::size_t probe = from + 1;
  while (probe < n && mz[probe] < value) {
    below = probe;
    step *= 2;
    probe = below + step;
  }
  if (probe > n) probe = n;
  return static_cast<std::size_t>(std::lower_bound(mz.begin() + static_cast<std::ptrdiff_t>(below + 1),
                                                   mz.begin() + static_cast<std::ptrdiff_t>(probe), value) -
                                  mz.begin());
}

template <Aggregate A>
void sweep_sorted(const Windows& windows, std::span<const double> mz, std::span<const float> intensity, double* out,
                  std::size_t stride) {
  std::size_t start = 0;  // the lower bounds ascend, so the first point of each window does too
  for (std::size_t k = 0; k < windows.size(); ++k) {
    const double high = windows.high(k);
    start = seek(mz, start, windows.low(k));
    Fold<A> fold;
    for (std::size_t j = start; j < mz.size() && mz[j] <= high; ++j) fold.add(intensity[j]);
    out[windows.target(k) * stride] = fold.value();
  }
}

// Orders positions by their value, equal values by position: a stable sort
// of positions without the temporary buffer of std::stable_sort. `values`
// holds no NaN at the positions compared.
inline auto by_value_then_position(std::span<const double> values) {
  return [values](std::size_t a, std::size_t b) { return values[a] < values[b] || (values[a] == values[b] && a < b); };
}

// Any order, NaN included: the points sorted by m/z (ties in spectrum order)
// locate each window's points, which are then folded in spectrum order.
template <Aggregate A>
void sweep_unsorted(const Windows& windows, std::span<const double> mz, std::span<const float> intensity,
                    double* out, std::size_t stride) {
  std::vector<std::size_t> order;
  order.reserve(mz.size());
  for (std::size_t i = 0; i < mz.size(); ++i) {
    if (!std::isnan(mz[i])) order.push_back(i);
  }
  std::sort(order.begin(), order.end(), by_value_then_position(mz));
  std::vector<double> sorted(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) sorted[i] = mz[order[i]];
  std::vector<std::size_t> picked;
  for (std::size_t k = 0; k < windows.size(); ++k) {
    const auto first = std::lower_bound(sorted.begin(), sorted.end(), windows.low(k));
    const auto last = std::upper_bound(first, sorted.end(), windows.high(k));
    const auto from = order.begin() + (first - sorted.begin());
    picked.assign(from, from + (last - first));
    std::sort(picked.begin(), picked.end());
    Fold<A> fold;
    for (const std::size_t j : picked) fold.add(intensity[j]);
    out[windows.target(k) * stride] = fold.value();
  }
}

// `ascending` is store::ascends(mz); mz and intensity are of one length.
template <Aggregate A>
void extract_as(const Windows& windows, std::span<const double> mz, std::span<const float> intensity,
                bool ascending, double* out, std::size_t stride) {
  if (ascending) {
    sweep_sorted<A>(windows, mz, intensity, out, stride);
  } else {
    sweep_unsorted<A>(windows, mz, intensity, out, stride);
  }
}

void extract_known(const Windows& windows, std::span<const double> mz, std::span<const float> intensity,
                   bool ascending, Aggregate aggregate, double* out, std::size_t stride) {
  if (windows.size() == 0) return;
  if (aggregate == Aggregate::Sum) {
    extract_as<Aggregate::Sum>(windows, mz, intensity, ascending, out, stride);
  } else {
    extract_as<Aggregate::Max>(windows, mz, intensity, ascending, out, stride);
  }
}

}  // namespace

Result<Windows> Windows::make(std::span<const double> targets, double tolerance, ToleranceUnit unit) {
  if (!usable(tolerance)) {
    return fail(Error::invalid_argument("tolerance", text::cat("must be finite and non-negative, not ",
                                                               text::display_f64(tolerance))));
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!usable(targets[i])) {
      return fail(Error::invalid_argument("targets", text::cat("must be finite and non-negative m/z values; item ",
                                                               i, " is ", text::display_f64(targets[i]))));
    }
  }
  std::vector<std::size_t> order(targets.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  // Windows grow with m in both units, so sorting by target sorts the lower bounds.
  std::sort(order.begin(), order.end(), by_value_then_position(targets));
  Windows windows;
  windows.low_.reserve(order.size());
  windows.high_.reserve(order.size());
  for (const std::size_t t : order) {
    const double m = targets[t];
    const double w = unit == ToleranceUnit::Ppm ? tolerance * m * 1e-6 : tolerance;
    windows.low_.push_back(m - w);
    windows.high_.push_back(m + w);
  }
  windows.target_ = std::move(order);
  return windows;
}

void extract_spectrum(const Windows& windows, std::span<const double> mz, std::span<const float> intensity,
                      Aggregate aggregate, double* out, std::size_t stride) {
  if (windows.size() == 0) return;
  const std::size_t n = std::min(mz.size(), intensity.size());
  mz = mz.first(n);
  extract_known(windows, mz, intensity.first(n), store::ascends(mz), aggregate, out, stride);
}

namespace {

// Every cell is written by the extraction; the size is checked first.
Chromatograms allocate(std::size_t targets, std::size_t scans) {
  if (scans != 0 && targets > std::numeric_limits<std::size_t>::max() / sizeof(double) / scans) throw std::bad_alloc();
  Chromatograms result;
  result.targets = targets;
  result.retention_time_sec.resize(scans);
  result.values.resize(targets * scans);
  return result;
}

}  // namespace

namespace {

// One decoding thread's memory, reused from scan to scan: the block's bytes
// and the decoded points. The point buffers are allocated without being
// written, so room for a claim that the decoder then rejects costs no pages.
class DecodeWorker {
 public:
  // The points of scan `index`, or its unreported failure. The spans stay
  // valid until the next call.
  Result<std::pair<std::span<const double>, std::span<const float>>> decode(const Reader& reader, std::size_t index,
                                                                            const peaks::DecodeOptions& options,
                                                                            const internal::DataFileSizes& sizes) {
    if (options.picks(reader, index)) {
      auto decoded = internal::decode_spectrum(reader, index, options);
      if (!decoded) return fail(std::move(decoded).error());
      record_ = std::move(*decoded);
      return std::pair{std::span<const double>(record_.mz), std::span<const float>(record_.intensity)};
    }
    const BlockPreference prefer = options.block_preference();
    const BlockPlan plan = reader.block_plan(index, prefer);
    const std::size_t n = plan.point_count;
    if (n != 0 && internal::justified_points(reader, index, prefer, sizes) == n) {
      reserve(n);
      const std::span<double> mz(mz_.get(), n);
      const std::span<float> intensity(intensity_.get(), n);
      VELORIUM_CHECK(internal::decode_spectrum_into(reader, index, prefer, mz, intensity, scratch_));
      return std::pair{std::span<const double>(mz), std::span<const float>(intensity)};
    }
    // No points, or a claim the files cannot back: the allocating decode,
    // which meets the same failure first.
    VELORIUM_TRY(record_, internal::decode_spectrum(reader, index, prefer));
    return std::pair{std::span<const double>(record_.mz), std::span<const float>(record_.intensity)};
  }

 private:
  void reserve(std::size_t n) {
    if (n <= capacity_) return;
    mz_ = std::make_unique_for_overwrite<double[]>(n);
    intensity_ = std::make_unique_for_overwrite<float[]>(n);
    capacity_ = n;
  }

  internal::DecodeScratch scratch_;
  std::unique_ptr<double[]> mz_;
  std::unique_ptr<float[]> intensity_;
  std::size_t capacity_ = 0;
  lumora::SpectrumRecord record_;
};

}  // namespace

Result<Chromatograms> extract(const Reader& reader, std::span<const std::size_t> indices, const Windows& windows,
                              Aggregate aggregate, BlockPreference prefer, unsigned threads) {
  return extract(reader, indices, windows, aggregate, peaks::DecodeOptions{prefer, peaks::PickMode::None, {}}, threads);
}

Result<Chromatograms> extract(const Reader& reader, std::span<const std::size_t> indices, const Windows& windows,
                              Aggregate aggregate, const peaks::DecodeOptions& options, unsigned threads) {
  const std::size_t scans = indices.size();
  Chromatograms result = allocate(windows.size(), scans);
  for (std::size_t s = 0; s < scans; ++s) {
    result.retention_time_sec[s] = reader.scan(indices[s]).retention_time_sec();
  }
  // A failing scan stops the scans after it from being started; the first
  // failing one is always decoded, so the outcome does not depend on timing.
  std::atomic<std::size_t> first_failure{kNone};
  std::vector<std::optional<Error>> failures(scans);
  std::vector<std::exception_ptr> exceptions(scans);
  const auto failed_at = [&](std::size_t s) {
    std::size_t seen = first_failure.load(std::memory_order_relaxed);
    while (s < seen && !first_failure.compare_exchange_weak(seen, s, std::memory_order_relaxed)) {
    }
  };
  const internal::DataFileSizes sizes = internal::data_file_sizes(reader);
  double* values = result.values.data();
  // Each worker claims scans one at a time and keeps its memory between them.
  const unsigned workers = static_cast<unsigned>(
      std::clamp<std::size_t>(threads == 0 ? default_threads() : threads, 1, std::max<std::size_t>(scans, 1)));
  std::atomic<std::size_t> next{0};
  parallel_for(workers, workers, [&](std::size_t) {
    std::optional<DecodeWorker> worker;
    for (std::size_t s = next.fetch_add(1, std::memory_order_relaxed); s < scans;
         s = next.fetch_add(1, std::memory_order_relaxed)) {
      if (s > first_failure.load(std::memory_order_relaxed)) continue;
      try {
        if (!worker) worker.emplace();
        auto points = worker->decode(reader, indices[s], options, sizes);
        if (!points) {
          failures[s].emplace(std::move(points).error());
          failed_at(s);
          continue;
        }
        extract_spectrum(windows, points->first, points->second, aggregate, values + s, scans);
      } catch (...) {
        exceptions[s] = std::current_exception();
        failed_at(s);
      }
    }
  });
  const std::size_t first = first_failure.load();
  if (first != kNone) {
    if (exceptions[first]) std::rethrow_exception(exceptions[first]);
    return fail(internal::report_failure(reader, std::move(*failures[first])));
  }
  return result;
}

std::vector<std::size_t> select_scans(const store::PeakStore& store, const ScanSelection& selection) {
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i < store.size(); ++i) {
    const lumora::SpectrumRecord& r = store.record(i);
    if (selection.matches(r.ms_level, r.retention_time_sec, r.polarity, r.scan_number)) positions.push_back(i);
  }
  return positions;
}

Chromatograms extract(const store::PeakStore& store, std::span<const std::size_t> positions, const Windows& windows,
                      Aggregate aggregate, unsigned threads) {
  const std::size_t scans = positions.size();
  Chromatograms result = allocate(windows.size(), scans);
  for (std::size_t s = 0; s < scans; ++s) result.retention_time_sec[s] = store.record(positions[s]).retention_time_sec;
  // Only the slower path for unsorted spectra allocates; a failure there is
  // kept and rethrown here, as parallel_for's tasks must not throw.
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  double* values = result.values.data();
  parallel_for(scans, threads, [&](std::size_t s) {
    if (failed.load(std::memory_order_relaxed)) return;
    try {
      const std::size_t i = positions[s];
      extract_known(windows, store.mz(i), store.intensity(i), store.ascending(i), aggregate, values + s, scans);
    } catch (...) {
      if (!failed.exchange(true)) error = std::current_exception();
    }
  });
  if (error) std::rethrow_exception(error);
  return result;
}

}  // namespace velorium::xic

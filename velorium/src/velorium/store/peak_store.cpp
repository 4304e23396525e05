#include "velorium/store/peak_store.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <utility>

#include "velorium/internal/decoding.hpp"
#include "velorium/peaks/decode.hpp"
#include "velorium/prefetch.hpp"

namespace velorium::store {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kBytesPerPoint = sizeof(double) + sizeof(float);

std::uint64_t round_up(std::uint64_t value, std::uint64_t to) { return (value + to - 1) / to * to; }

// The decoded results of a parallel pass, one slot per position, and the
// first position that failed or threw once one is known: positions after it
// are not needed, as decoding in order would have stopped there.
class Outcomes {
 public:
  explicit Outcomes(std::size_t count) : results_(count), stop_(count), failure_(count), thrown_at_(count) {}

  bool needed(std::size_t p) const noexcept { return p < stop_.load(std::memory_order_relaxed); }

  void put(std::size_t p, Result<lumora::SpectrumRecord> result) {
    if (!result) lower(failure_, p);
    results_[p] = std::move(result);
  }

  // A decode that threw (out of memory, say): kept to be rethrown on the
  // calling thread unless a failure comes before it.
  void put_exception(std::size_t p, std::exception_ptr exception) {
    const std::lock_guard lock(mutex_);
    if (p < thrown_at_) {
      thrown_at_ = p;
      exception_ = std::move(exception);
    }
    lower(stop_, p);
  }

  // After the pass: the first failure in position order, if any, still
  // unreported; rethrows an exception of an earlier position.
  std::optional<Error> first_failure() {
    const std::size_t p = failure_.load(std::memory_order_relaxed);
    if (exception_ && thrown_at_ < p) std::rethrow_exception(exception_);
    if (p == results_.size()) return std::nullopt;
    return std::move(results_[p]).error();
  }

  std::vector<lumora::SpectrumRecord> take_records() {
    std::vector<lumora::SpectrumRecord> records;
    records.reserve(results_.size());
    for (auto& result : results_) records.push_back(std::move(*result));
    results_.clear();
    return records;
  }

  Result<lumora::SpectrumRecord>& operator[](std::size_t p) noexcept { return results_[p]; }

 private:
  void lower(std::atomic<std::size_t>& value, std::size_t p) noexcept {
    std::size_t seen = value.load(std::memory_order_relaxed);
    while (p < seen && !value.compare_exchange_weak(seen, p, std::memory_order_relaxed)) {
    }
    if (&value == &failure_) lower(stop_, p);
  }

  std::vector<Result<lumora::SpectrumRecord>> results_;
  std::atomic<std::size_t> stop_;
  std::atomic<std::size_t> failure_;
  std::mutex mutex_;
  std::size_t thrown_at_;
  std::exception_ptr exception_;
};

// Runs `decode(position, scratch)` for every needed position in [0, count)
// on `threads` threads, positions handed out in increasing order, each
// thread with its own scratch memory.
template <class Decode>
void decode_all(std::size_t count, unsigned threads, Outcomes& outcomes, Decode&& decode) {
  if (threads == 0) threads = default_threads();
  const unsigned workers = static_cast<unsigned>(std::clamp<std::size_t>(count, 1, threads));
  std::atomic<std::size_t> next{0};
  parallel_for(workers, workers, [&](std::size_t) {
    std::optional<internal::DecodeScratch> scratch;
    for (std::size_t p = next.fetch_add(1, std::memory_order_relaxed); p < count;
         p = next.fetch_add(1, std::memory_order_relaxed)) {
      if (!outcomes.needed(p)) continue;
      try {
        if (!scratch) scratch.emplace();
        outcomes.put(p, decode(p, *scratch));
      } catch (...) {
        outcomes.put_exception(p, std::current_exception());
      }
    }
  });
}

// Decodes every position with `decode(position)` (an unreported
// Result<SpectrumRecord>) on `threads` threads, each spectrum into memory of
// its own, then gathers the peaks into one store. The first failing position
// in order fails the whole, counted and logged as decoding the scans one by
// one would have.
template <class Decode>
Result<std::shared_ptr<const PeakStore>> decode_and_gather(const Reader& reader, std::span<const std::size_t> indices,
                                                           unsigned threads, Decode&& decode) {
  const std::size_t count = indices.size();
  Outcomes outcomes(count);
  decode_all(count, threads, outcomes, [&](std::size_t p, internal::DecodeScratch&) { return decode(p); });
  if (auto failure = outcomes.first_failure()) return fail(internal::report_failure(reader, std::move(*failure)));
  std::vector<std::uint64_t> offsets(count + 1, 0);
  for (std::size_t p = 0; p < count; ++p) offsets[p + 1] = offsets[p] + outcomes[p]->mz.size();
  auto columns = Columns::allocate(offsets[count]);
  if (!columns) throw std::bad_alloc();
  std::vector<lumora::SpectrumRecord> records = outcomes.take_records();
  std::vector<std::uint8_t> ascending(count, 0);
  parallel_for(count, threads, [&](std::size_t p) {
    lumora::SpectrumRecord& record = records[p];
    const std::size_t first = static_cast<std::size_t>(offsets[p]);
    std::copy(record.mz.begin(), record.mz.end(), columns->mz() + first);
    std::copy(record.intensity.begin(), record.intensity.end(), columns->intensity() + first);
    ascending[p] = ascends(record.mz);
    record.mz = {};
    record.intensity = {};
  });
  return std::make_shared<const PeakStore>(std::move(records), std::move(offsets), std::move(ascending),
                                           std::move(*columns));
}

}  // namespace

Columns::Columns(Columns&& other) noexcept
    : mz_(std::exchange(other.mz_, nullptr)),
      intensity_(std::exchange(other.intensity_, nullptr)),
      points_(std::exchange(other.points_, 0)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      mapping_length_(std::exchange(other.mapping_length_, 0)),
      heap_(std::move(other.heap_)) {}

Columns& Columns::operator=(Columns&& other) noexcept {
  if (this != &other) {
    release();
    mz_ = std::exchange(other.mz_, nullptr);
    intensity_ = std::exchange(other.intensity_, nullptr);
    points_ = std::exchange(other.points_, 0);
    mapping_ = std::exchange(other.mapping_, nullptr);
    mapping_length_ = std::exchange(other.mapping_length_, 0);
    heap_ = std::move(other.heap_);
  }
  return *this;
}

Columns::~Columns() { release(); }

void Columns::release() noexcept {
  if (mapping_ != nullptr) ::munmap(mapping_, mapping_length_);
  mapping_ = nullptr;
  mapping_length_ = 0;
  heap_.reset();
}

std::optional<Columns> Columns::allocate(std::uint64_t points, bool allow_mapping) noexcept {
  Columns columns;
  columns.points_ = points;
  if (points == 0) return columns;
  if (points > (std::numeric_limits<std::size_t>::max() - 2 * kHugePage) / kBytesPerPoint) return std::nullopt;
  const std::size_t bytes = static_cast<std::size_t>(points) * kBytesPerPoint;
  if (allow_mapping && bytes >= kMinMappedBytes) {
    // Address space only: pages are backed when a decode first writes them,
    // by the thread that decodes. The mapping starts on a huge-page boundary
    // and asks for huge pages; the slack before and after is returned.
    const std::size_t length = static_cast<std::size_t>(round_up(bytes, kHugePage));
    const std::size_t reserve = length + kHugePage;
    void* base = ::mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base != MAP_FAILED) {
      const auto start = round_up(reinterpret_cast<std::uintptr_t>(base), kHugePage);
      auto* aligned = reinterpret_cast<std::byte*>(start);
      const std::size_t head = static_cast<std::size_t>(aligned - static_cast<std::byte*>(base));
      if (head > 0) ::munmap(base, head);
      if (reserve - head > length) ::munmap(aligned + length, reserve - head - length);
#ifdef MADV_HUGEPAGE
      ::madvise(aligned, length, MADV_HUGEPAGE);  // advice only: without huge pages the store still works
#endif
      columns.mapping_ = aligned;
      columns.mapping_length_ = length;
      columns.mz_ = reinterpret_cast<double*>(aligned);
      columns.intensity_ = reinterpret_cast<float*>(aligned + points * sizeof(double));
      return columns;
    }
  }
  columns.heap_.reset(new (std::nothrow) std::byte[bytes]);
  if (!columns.heap_) return std::nullopt;
  columns.mz_ = reinterpret_cast<double*>(columns.heap_.get());
  columns.intensity_ = reinterpret_cast<float*>(columns.heap_.get() + points * sizeof(double));
  return columns;
}

bool ascends(std::span<const double> mz) noexcept {
  if (mz.size() == 1) return !std::isnan(mz[0]);
  for (std::size_t i = 1; i < mz.size(); ++i) {
    if (!(mz[i - 1] <= mz[i])) return false;  // a descent or a NaN on either side
  }
  return true;
}

Result<std::shared_ptr<const PeakStore>> build_store(const Reader& reader, std::span<const std::size_t> indices,
                                                     BlockPreference prefer, unsigned threads) {
  const std::size_t count = indices.size();
  const internal::DataFileSizes sizes = internal::data_file_sizes(reader);
  std::vector<std::uint64_t> offsets(count + 1, 0);
  for (std::size_t p = 0; p < count; ++p) {
    offsets[p + 1] = offsets[p] + internal::justified_points(reader, indices[p], prefer, sizes);
  }
  // The one failure reported: that of the first failing position.
  const auto failed = [&](Error failure) { return fail(internal::report_failure(reader, std::move(failure))); };
  const std::uint64_t total = offsets[count];
  Outcomes outcomes(count);
  // Whether each spectrum's m/z values ascend, found by the thread that
  // writes its slice while the values are still in its cache.
  std::vector<std::uint8_t> ascending(count, 0);

  if (auto columns = Columns::allocate(total)) {
    // Every scan decoded straight into its slice of the columns.
    decode_all(count, threads, outcomes, [&](std::size_t p, internal::DecodeScratch& scratch) {
      const std::size_t first = static_cast<std::size_t>(offsets[p]);
      const std::size_t n = static_cast<std::size_t>(offsets[p + 1] - offsets[p]);
      auto decoded = internal::decode_spectrum_into(reader, indices[p], prefer, {columns->mz() + first, n},
                                                    {columns->intensity() + first, n}, scratch);
      if (decoded) ascending[p] = ascends({columns->mz() + first, n});
      return decoded;
    });
    if (auto failure = outcomes.first_failure()) return failed(std::move(*failure));
    return std::make_shared<const PeakStore>(outcomes.take_records(), std::move(offsets), std::move(ascending),
                                             std::move(*columns));
  }

  // The claims cannot be given room (an address-space limit, say): decode
  // scan by scan as the reader does, which allocates only what each block
  // yields and meets a failing block first; then gather the peaks.
  return decode_and_gather(reader, indices, threads,
                           [&](std::size_t p) { return internal::decode_spectrum(reader, indices[p], prefer); });
}

Result<std::shared_ptr<const PeakStore>> build_store(const Reader& reader, std::span<const std::size_t> indices,
                                                     const peaks::DecodeOptions& options, unsigned threads) {
  if (options.pick == peaks::PickMode::None) return build_store(reader, indices, options.prefer, threads);
  // The picked spectra's sizes are known only once picked.
  return decode_and_gather(reader, indices, threads,
                           [&](std::size_t p) { return internal::decode_spectrum(reader, indices[p], options); });
}

}  // namespace velorium::store

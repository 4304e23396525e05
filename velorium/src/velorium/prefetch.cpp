#include "velorium/prefetch.hpp"

#include <sched.h>

#include <atomic>
#include <utility>

#include "velorium/internal/decoding.hpp"

namespace velorium {

unsigned available_cpus() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1u : hardware;
}

namespace {
std::atomic<unsigned> configured_threads{0};
}  // namespace

unsigned default_threads() noexcept {
  const unsigned configured = configured_threads.load(std::memory_order_relaxed);
  return configured != 0 ? configured : available_cpus();
}

void set_default_threads(unsigned threads) noexcept { configured_threads.store(threads, std::memory_order_relaxed); }

Prefetcher::Prefetcher(const Reader& reader, std::vector<std::size_t> indices, BlockPreference prefer,
                       unsigned threads, std::size_t per_worker)
    : Prefetcher(reader, std::move(indices), peaks::DecodeOptions{prefer, peaks::PickMode::None, {}}, threads, per_worker) {}

Prefetcher::Prefetcher(const Reader& reader, std::vector<std::size_t> indices, const peaks::DecodeOptions& options,
                       unsigned threads, std::size_t per_worker)
    : reader_(reader), indices_(std::move(indices)), options_(options) {
  if (threads == 0) threads = default_threads();
  if (per_worker == 0) per_worker = 1;
  if (threads <= 1 || indices_.size() <= 1) return;  // sequential: next() decodes
  if (threads > indices_.size()) threads = static_cast<unsigned>(indices_.size());
  window_ = static_cast<std::size_t>(threads) * per_worker;
  slots_.resize(window_);
  workers_.reserve(threads);
  for (unsigned t = 0; t < threads; ++t) workers_.emplace_back([this] { work(); });
}

Prefetcher::~Prefetcher() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_ready_.notify_all();
  workers_.clear();  // joins
}

void Prefetcher::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [&] { return stop_ || claimed_ >= indices_.size() || claimed_ < taken_ + window_; });
    if (stop_ || claimed_ >= indices_.size()) return;
    const std::size_t position = claimed_++;
    lock.unlock();
    std::optional<Result<lumora::SpectrumRecord>> result;
    std::exception_ptr exception;
    try {
      result.emplace(internal::decode_spectrum(reader_, indices_[position], options_));
    } catch (...) {
      exception = std::current_exception();
    }
    lock.lock();
    Slot& slot = slots_[position % window_];
    slot.result = std::move(result);
    slot.exception = std::move(exception);
    slot.ready = true;
    item_ready_.notify_all();
  }
}

std::optional<Result<lumora::SpectrumRecord>> Prefetcher::next() {
  if (taken_ >= indices_.size()) return std::nullopt;
  std::optional<Result<lumora::SpectrumRecord>> item;
  if (workers_.empty()) {
    item.emplace(internal::decode_spectrum(reader_, indices_[taken_++], options_));
  } else {
    std::unique_lock lock(mutex_);
    Slot& slot = slots_[taken_ % window_];
    item_ready_.wait(lock, [&] { return slot.ready; });
    item = std::move(slot.result);
    std::exception_ptr exception = std::move(slot.exception);
    slot = Slot{};
    ++taken_;
    lock.unlock();
    work_ready_.notify_all();
    if (exception) std::rethrow_exception(exception);
  }
  if (!*item) *item = fail(internal::report_failure(reader_, std::move(*item).error()));
  return item;
}

}  // namespace velorium

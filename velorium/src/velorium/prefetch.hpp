// Spectra of a reader decoded ahead on worker threads and handed out in a
// fixed order, with a bounded number of decoded spectra waiting.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "lumora/types.hpp"
#include "velorium/error.hpp"
#include "velorium/peaks/decode.hpp"
#include "velorium/reader.hpp"

namespace velorium {

// The number of CPUs this process may run on (its affinity mask), at least 1.
unsigned available_cpus() noexcept;

// The number of threads the library decodes on when a caller asks for 0:
// available_cpus() unless an embedder or a test set another number with
// set_default_threads (0 restores the default). 1 is the sequential path.
unsigned default_threads() noexcept;
void set_default_threads(unsigned threads) noexcept;

class Prefetcher {
 public:
  // Decodes the scans `indices` (each below reader.scan_count()) in that
  // order. `threads` 0 means default_threads(); with 1 thread every spectrum
  // is decoded by next() on the calling thread (the sequential path). At most
  // `per_worker` decoded spectra per thread wait to be taken. The reader must
  // outlive the prefetcher.
  Prefetcher(const Reader& reader, std::vector<std::size_t> indices, BlockPreference prefer = BlockPreference::Profile,
             unsigned threads = 0, std::size_t per_worker = 4);
  // The same with each spectrum that of peaks::spectrum(reader,
  // index, options): picked where the options say.
  Prefetcher(const Reader& reader, std::vector<std::size_t> indices, const peaks::DecodeOptions& options,
             unsigned threads = 0, std::size_t per_worker = 4);
  ~Prefetcher();  // stops the workers and waits for them

  Prefetcher(const Prefetcher&) = delete;
  Prefetcher& operator=(const Prefetcher&) = delete;

  // The next spectrum in the order of `indices`, or nothing after the last.
  // A failed block is counted and logged when next() hands it out, so that
  // log records follow the order of `indices` whatever the thread count (a
  // spectrum never taken is never reported). An exception thrown while
  // decoding (std::bad_alloc) is rethrown here, in order. Call from one
  // thread.
  std::optional<Result<lumora::SpectrumRecord>> next();

  std::size_t remaining() const noexcept { return indices_.size() - taken_; }

 private:
  void work();

  const Reader& reader_;
  std::vector<std::size_t> indices_;
  peaks::DecodeOptions options_;
  std::size_t window_ = 1;

  std::mutex mutex_;
  std::condition_variable work_ready_;   // a slot became free, or stop
  std::condition_variable item_ready_;   // a spectrum was decoded
  // One decoded spectrum waiting to be taken, or the exception its decoding
  // threw (out of memory), rethrown by next() on the caller's thread.
  struct Slot {
    std::optional<Result<lumora::SpectrumRecord>> result;  // the failure unreported
    std::exception_ptr exception;
    bool ready = false;
  };
  std::vector<Slot> slots_;  // position % window_
  std::size_t claimed_ = 0;  // positions handed to workers
  std::size_t taken_ = 0;    // positions handed to the caller
  bool stop_ = false;
  std::vector<std::jthread> workers_;
};

// Runs `count` tasks on `threads` threads (0: default_threads()) by calling
// `task(i)` for every i in [0, count), each exactly once, the calling thread
// taking part. Returns when all are done. `task` must not throw.
template <class Task>
void parallel_for(std::size_t count, unsigned threads, Task&& task) {
  if (threads == 0) threads = default_threads();
  if (threads > count) threads = static_cast<unsigned>(count == 0 ? 1 : count);
  std::atomic<std::size_t> next{0};
  auto run = [&] {
    for (std::size_t i = next.fetch_add(1, std::memory_order_relaxed); i < count;
         i = next.fetch_add(1, std::memory_order_relaxed)) {
      task(i);
    }
  };
  std::vector<std::jthread> helpers;
  helpers.reserve(threads - 1);
  for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(run);
  run();
}  // the helpers join here

}  // namespace velorium

// parallel_for: templates of prefetch.hpp.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace velorium {

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

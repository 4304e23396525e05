// Process-wide logging facade. A record has a target, a level and a message.
// The maximum level starts at Off and only a caller (a test, an embedding
// program) raises it; the library never does. Call sites test the level
// before they build a message, so logging costs nothing while it is off.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

#include "velorium/text.hpp"

namespace velorium::log {

enum class Level : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

std::string_view level_name(Level level) noexcept;

inline constexpr std::string_view kReaderTarget = "velorium::reader";
inline constexpr std::string_view kMetadataTarget = "velorium::raw::metadata";

struct Record {
  std::string_view target;
  Level level;
  std::string_view message;
};

using Sink = std::function<void(const Record&)>;

namespace detail {
inline std::atomic<Level> max_level{Level::Off};
}

inline void set_max_level(Level level) noexcept { detail::max_level.store(level, std::memory_order_relaxed); }
inline Level max_level() noexcept { return detail::max_level.load(std::memory_order_relaxed); }

// True when a record of `level` would be emitted.
inline bool enabled(Level level) noexcept {
  return level != Level::Off && static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(max_level());
}

// Installs the sink that receives every admitted record (an empty function
// removes it). The sink may be called from any thread, one record at a time.
void set_sink(Sink sink);

// Sends a record to the sink if its level is admitted.
void emit(Level level, std::string_view target, std::string_view message);

}  // namespace velorium::log

// Builds the message from `parts` (as text::cat does) only when `level` is
// admitted.
#define VELORIUM_LOG(level, target, ...)                                       \
  do {                                                                         \
    if (::velorium::log::enabled(level)) {                                     \
      ::velorium::log::emit(level, target, ::velorium::text::cat(__VA_ARGS__)); \
    }                                                                          \
  } while (0)

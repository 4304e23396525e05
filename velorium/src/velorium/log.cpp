#include "velorium/log.hpp"

#include <memory>
#include <mutex>

namespace velorium::log {
namespace {

std::mutex& sink_mutex() {
  static std::mutex mutex;
  return mutex;
}

Sink& sink_slot() {
  static Sink sink;
  return sink;
}

}  // namespace

std::string_view level_name(Level level) noexcept {
  switch (level) {
    case Level::Off: return "OFF";
    case Level::Error: return "ERROR";
    case Level::Warn: return "WARN";
    case Level::Info: return "INFO";
    case Level::Debug: return "DEBUG";
    case Level::Trace: return "TRACE";
  }
  return "";
}

void set_sink(Sink sink) {
  const std::lock_guard lock(sink_mutex());
  sink_slot() = std::move(sink);
}

void emit(Level level, std::string_view target, std::string_view message) {
  if (!enabled(level)) return;
  const std::lock_guard lock(sink_mutex());
  if (sink_slot()) sink_slot()(Record{target, level, message});
}

}  // namespace velorium::log

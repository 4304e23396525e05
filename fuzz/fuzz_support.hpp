// Helpers shared by the fuzz targets: reading parameters off the front of
// an input, a scratch folder for the decoders that take paths, and a log
// sink that makes every diagnostic message be built.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "velorium/log.hpp"

namespace velorium::fuzz {

// Aborts with a message: libFuzzer reports the input as a crash.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant violated: %s\n", what);
  std::abort();
}

#define VELORIUM_FUZZ_CHECK(cond) \
  do {                            \
    if (!(cond)) ::velorium::fuzz::fail(#cond); \
  } while (0)

// Consumes little-endian integers from the front of the input; a value that
// runs past the end is completed with zero bytes.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

  template <class T>
  T take() noexcept {
    std::uint8_t raw[sizeof(T)] = {};
    const std::size_t n = size_ < sizeof(T) ? size_ : sizeof(T);
    if (n != 0) std::memcpy(raw, data_, n);
    data_ += n;
    size_ -= n;
    T value;
    std::memcpy(&value, raw, sizeof(T));
    return value;
  }

  // Up to `n` bytes (all that is left when fewer remain).
  std::span<const std::uint8_t> take_bytes(std::size_t n) noexcept {
    if (n > size_) n = size_;
    std::span<const std::uint8_t> out(data_, n);
    data_ += n;
    size_ -= n;
    return out;
  }

  std::span<const std::uint8_t> rest() const noexcept { return {data_, size_}; }
  std::size_t remaining() const noexcept { return size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// A folder of this process below $VELORIUM_FUZZ_SCRATCH, /dev/shm or the
// temporary directory, made on first use and removed when the process exits
// normally. Each process of a parallel run gets its own.
inline const std::filesystem::path& scratch_dir() {
  // Never destroyed, so that the exit handler can still use it.
  static const std::filesystem::path* const dir = [] {
    std::error_code ec;
    std::filesystem::path base;
    if (const char* env = std::getenv("VELORIUM_FUZZ_SCRATCH"); env != nullptr && *env != 0) {
      base = env;
    } else if (std::filesystem::is_directory("/dev/shm", ec)) {
      base = "/dev/shm";
    } else {
      base = std::filesystem::temp_directory_path();
    }
    auto* p = new std::filesystem::path(base / ("velorium-fuzz-" + std::to_string(::getpid())));
    std::filesystem::remove_all(*p, ec);
    std::filesystem::create_directories(*p);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratch_dir(), ignored);
    });
    return p;
  }();
  return *dir;
}

inline void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) fail("cannot create a scratch file");
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) fail("short write");
  if (std::fclose(f) != 0) fail("cannot close a scratch file");
}

// Admits every level and installs a sink that checks each record, so the
// message-building paths run too.
inline void enable_logging() {
  static const bool once = [] {
    log::set_sink([](const log::Record& r) {
      VELORIUM_FUZZ_CHECK(!r.target.empty());
      VELORIUM_FUZZ_CHECK(!r.message.empty());
    });
    log::set_max_level(log::Level::Trace);
    return true;
  }();
  (void)once;
}

}  // namespace velorium::fuzz

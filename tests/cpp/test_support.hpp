// Shared helpers of the C++ tests: byte builders, temporary folders and a
// log capture.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velorium/log.hpp"

namespace velorium::testing {

// Little-endian byte builder.
class Bytes {
 public:
  Bytes() = default;
  explicit Bytes(std::size_t size, std::uint8_t fill = 0) : data_(size, fill) {}

  template <class T>
  Bytes& put(T value) {
    std::uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    data_.insert(data_.end(), raw, raw + sizeof(T));
    return *this;
  }
  Bytes& u8(std::uint8_t v) { return put(v); }
  Bytes& u16(std::uint16_t v) { return put(v); }
  Bytes& i16(std::int16_t v) { return put(v); }
  Bytes& u32(std::uint32_t v) { return put(v); }
  Bytes& i32(std::int32_t v) { return put(v); }
  Bytes& u64(std::uint64_t v) { return put(v); }
  Bytes& i64(std::int64_t v) { return put(v); }
  Bytes& f32(float v) { return put(v); }
  Bytes& f64(double v) { return put(v); }
  Bytes& raw(std::initializer_list<std::uint8_t> bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Bytes& append(const std::vector<std::uint8_t>& bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Bytes& zeros(std::size_t n) {
    data_.insert(data_.end(), n, 0);
    return *this;
  }

  // Overwrites bytes at `offset`, growing the buffer with zeros if needed.
  template <class T>
  Bytes& set(std::size_t offset, T value) {
    if (data_.size() < offset + sizeof(T)) data_.resize(offset + sizeof(T), 0);
    std::memcpy(data_.data() + offset, &value, sizeof(T));
    return *this;
  }

  std::size_t size() const { return data_.size(); }
  const std::vector<std::uint8_t>& vec() const { return data_; }
  std::vector<std::uint8_t>& vec() { return data_; }
  operator std::span<const std::uint8_t>() const { return data_; }  // NOLINT

 private:
  std::vector<std::uint8_t> data_;
};

// A fresh folder below the system's temporary directory, removed with its
// contents at the end of the scope.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    for (;;) {
      path_ = std::filesystem::temp_directory_path() / ("velorium-test-" + std::to_string(rd()));
      if (std::filesystem::create_directory(path_)) break;
    }
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void write_file(const std::filesystem::path& path, std::string_view text) {
  write_file(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

struct CapturedRecord {
  std::string target;
  log::Level level;
  std::string message;
  friend bool operator==(const CapturedRecord&, const CapturedRecord&) = default;
};

// Installs a sink that keeps every record and raises the maximum level for
// the life of the object; restores "off" and no sink afterwards.
class LogCapture {
 public:
  explicit LogCapture(log::Level level = log::Level::Debug) {
    log::set_sink([this](const log::Record& r) {
      const std::lock_guard lock(mutex_);
      records_.push_back({std::string(r.target), r.level, std::string(r.message)});
    });
    log::set_max_level(level);
  }
  ~LogCapture() {
    log::set_max_level(log::Level::Off);
    log::set_sink({});
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<CapturedRecord> records() const {
    const std::lock_guard lock(mutex_);
    return records_;
  }
  void clear() {
    const std::lock_guard lock(mutex_);
    records_.clear();
  }
  // Messages of the records at `level` only.
  std::vector<std::string> messages(log::Level level) const {
    std::vector<std::string> out;
    for (const auto& r : records()) {
      if (r.level == level) out.push_back(r.message);
    }
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<CapturedRecord> records_;
};

}  // namespace velorium::testing

// Prints a level readably in assertion messages.
namespace velorium::log {
inline std::ostream& operator<<(std::ostream& os, Level level) { return os << level_name(level); }
}  // namespace velorium::log

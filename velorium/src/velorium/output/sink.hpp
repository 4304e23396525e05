// Where the writers put their bytes: a sink that appends, can replace bytes
// it was told might change (the rare patch of a count) and read back what it
// holds; and the stream that buffers a writer's output, counts its bytes
// (the offsets an index needs) and hashes them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "velorium/error.hpp"

namespace velorium::output {

class Sink {
 public:
  virtual ~Sink() = default;
  virtual Result<void> append(std::string_view bytes) = 0;
  // Appends bytes that overwrite() may later replace with as many others.
  virtual Result<void> append_patchable(std::string_view bytes) { return append(bytes); }
  // Replaces bytes appended by append_patchable, at `offset` (counted in
  // the bytes appended, whatever the sink stores).
  virtual Result<void> overwrite(std::uint64_t offset, std::string_view bytes) = 0;
  // Reads bytes already appended, at `offset`; fills `out` completely.
  virtual Result<void> read(std::uint64_t offset, std::span<char> out) = 0;
};

class StringSink final : public Sink {
 public:
  Result<void> append(std::string_view bytes) override;
  Result<void> overwrite(std::uint64_t offset, std::string_view bytes) override;
  Result<void> read(std::uint64_t offset, std::span<char> out) override;
  const std::string& str() const noexcept { return text_; }
  std::string take() noexcept { return std::move(text_); }

 private:
  std::string text_;
};

// Buffers what a writer produces, counts the bytes and feeds them to a
// SHA-1 when asked to, flushing to the sink in pieces of about 1 MiB.
class OutputStream {
 public:
  explicit OutputStream(Sink& sink, bool hash);
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  Result<void> write(std::string_view bytes);
  // Writes bytes that patch() may replace later; returns their offset.
  Result<std::uint64_t> write_patchable(std::string_view bytes);
  Result<void> flush();
  std::uint64_t offset() const noexcept { return offset_; }

  // Replaces bytes written by write_patchable (flushing first), then hashes
  // the whole output again from the start, so that the digest covers what
  // the sink now holds.
  Result<void> patch(std::uint64_t offset, std::string_view bytes);

  // The SHA-1 of everything written so far (flushes first).
  Result<std::string> digest();

 private:
  Sink& sink_;
  std::string buffer_;
  std::uint64_t offset_ = 0;
  struct Hash;
  std::unique_ptr<Hash> hash_;
};

}  // namespace velorium::output

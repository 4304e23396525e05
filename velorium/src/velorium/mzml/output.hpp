// Where the writers put their bytes: a sink that appends, can overwrite
// what it already holds and read it back (for the rare patch of a count),
// in memory or in a file; the file kind is a temporary file beside the
// destination that becomes the destination only when it is committed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "velorium/error.hpp"

namespace velorium::mzml {

class Sink {
 public:
  virtual ~Sink() = default;
  virtual Result<void> append(std::string_view bytes) = 0;
  // Replaces bytes already appended, at `offset`.
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

// A new file in the folder of `destination`, named after it with a dot
// before and a random suffix after, created exclusively with mode 0666 less
// the umask. Dropped without commit(), it removes itself: nothing is left
// but the destination's old state.
class AtomicFile final : public Sink {
 public:
  static Result<AtomicFile> create(const std::filesystem::path& destination);
  AtomicFile(AtomicFile&& other) noexcept;
  AtomicFile& operator=(AtomicFile&&) = delete;
  ~AtomicFile() override;

  Result<void> append(std::string_view bytes) override;
  Result<void> overwrite(std::uint64_t offset, std::string_view bytes) override;
  Result<void> read(std::uint64_t offset, std::span<char> out) override;

  // Closes the file and renames it to the destination. With `replace`
  // false, an existing destination is left alone and the commit fails with
  // EEXIST (checked atomically by the rename itself).
  Result<void> commit(bool replace);

 private:
  AtomicFile(std::filesystem::path destination, std::filesystem::path temporary, int fd) noexcept
      : destination_(std::move(destination)), temporary_(std::move(temporary)), fd_(fd) {}
  void discard() noexcept;

  std::filesystem::path destination_;
  std::filesystem::path temporary_;
  int fd_ = -1;
};

// Buffers what a writer produces, counts the bytes (the offsets the index
// needs) and feeds them to a SHA-1 when asked to, flushing to the sink in
// large pieces.
class OutputStream {
 public:
  explicit OutputStream(Sink& sink, bool hash);
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  Result<void> write(std::string_view bytes);
  Result<void> flush();
  std::uint64_t offset() const noexcept { return offset_; }

  // Overwrites bytes written before (flushing first), then hashes the whole
  // output again from the start, so that the digest covers what the sink
  // now holds.
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

}  // namespace velorium::mzml

// Publishing an output file: it is written under a temporary name in the
// destination's folder and renamed to the destination only when complete,
// flushed to the disk around the rename so that a crash or a power loss
// after a reported success never leaves an empty or partial file under the
// final name.
#pragma once

#include <filesystem>
#include <string_view>

#include "velorium/error.hpp"
#include "velorium/output/sink.hpp"

namespace velorium::output {

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

  // Flushes the file's data to the disk (fsync), closes it, renames it to the
  // destination and flushes the folder, which records the new name. With
  // `replace` false, an existing destination is left alone and the commit
  // fails with EEXIST (checked atomically by the rename itself). A failure
  // leaves no temporary file behind.
  Result<void> commit(bool replace);

 private:
  AtomicFile(std::filesystem::path destination, std::filesystem::path temporary, int fd) noexcept
      : destination_(std::move(destination)), temporary_(std::move(temporary)), fd_(fd) {}
  void discard() noexcept;

  std::filesystem::path destination_;
  std::filesystem::path temporary_;
  int fd_ = -1;
};

}  // namespace velorium::output

#include "velorium/raw/fileio.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "velorium/text.hpp"

namespace velorium::raw {
namespace {

std::error_code last_error() noexcept { return {errno, std::system_category()}; }

// A read-only file descriptor, closed when it goes out of scope.
class File {
 public:
  static Result<File> open(const std::filesystem::path& path) {
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return io_error(last_error());
    return File(fd);
  }
  File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  File& operator=(File&&) = delete;
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }

  Result<std::uint64_t> size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return io_error(last_error());
    return static_cast<std::uint64_t>(st.st_size);
  }

  // Fills `out` from `offset` on; a short file is IoErrc::unexpected_eof.
  Result<void> pread_exact(std::uint8_t* out, std::size_t length, std::uint64_t offset) const {
    while (length > 0) {
      const ssize_t n = ::pread(fd_, out, length, static_cast<off_t>(offset));
      if (n < 0) {
        if (errno == EINTR) continue;
        return io_error(last_error());
      }
      if (n == 0) return io_error(make_error_code(IoErrc::unexpected_eof));
      out += n;
      length -= static_cast<std::size_t>(n);
      offset += static_cast<std::uint64_t>(n);
    }
    return {};
  }

  // Reads to the end of the file, whatever its reported size.
  Result<std::vector<std::uint8_t>> read_all() const {
    VELORIUM_TRY(const std::uint64_t expected, size());
    std::vector<std::uint8_t> out;
    out.resize(static_cast<std::size_t>(expected) + 1);
    std::size_t filled = 0;
    for (;;) {
      if (filled == out.size()) out.resize(out.size() * 2);
      const ssize_t n = ::read(fd_, out.data() + filled, out.size() - filled);
      if (n < 0) {
        if (errno == EINTR) continue;
        return io_error(last_error());
      }
      if (n == 0) break;
      filled += static_cast<std::size_t>(n);
    }
    out.resize(filled);
    return out;
  }

 private:
  explicit File(int fd) noexcept : fd_(fd) {}
  int fd_;
};

}  // namespace

Result<std::vector<std::uint8_t>> read_file(const std::filesystem::path& path) {
  VELORIUM_TRY(const File file, File::open(path));
  return file.read_all();
}

Result<std::string> read_text_file(const std::filesystem::path& path) {
  VELORIUM_TRY(const std::vector<std::uint8_t> bytes, read_file(path));
  std::string text(bytes.begin(), bytes.end());
  if (!text::is_valid_utf8(text)) return io_error(make_error_code(IoErrc::invalid_utf8));
  return text;
}

bool exists(const std::filesystem::path& path) noexcept {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool is_not_found(const Error& error) noexcept {
  const auto* io = error.as_io();
  return io != nullptr && io->code == std::errc::no_such_file_or_directory;
}

std::string display_path(const std::filesystem::path& path) { return text::lossy_utf8(path.native()); }

namespace {

// The file, opened and checked to hold `length` bytes at `offset`.
Result<File> open_for_block(const std::filesystem::path& path, std::uint64_t offset, std::uint64_t length) {
  VELORIUM_TRY(File file, File::open(path));
  VELORIUM_TRY(const std::uint64_t size, file.size());
  const std::uint64_t remaining = offset <= size ? size - offset : 0;
  if (length > remaining) {
    return parse_error(text::cat("read_bytes: requested ", length, " bytes at offset ", offset, " but ",
                                 display_path(path), " has only ", remaining, " bytes remaining"));
  }
  return file;
}

}  // namespace

std::optional<std::uint64_t> file_size(const std::filesystem::path& path) noexcept {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

Result<ByteSpan> read_bytes(const std::filesystem::path& path, std::uint64_t offset, std::uint64_t length,
                            ScratchBuffer& scratch) {
  VELORIUM_TRY(const File file, open_for_block(path, offset, length));
  const std::span<std::uint8_t> buffer = scratch.get(static_cast<std::size_t>(length));
  if (length > 0) {
    VELORIUM_CHECK(file.pread_exact(buffer.data(), buffer.size(), offset));
  }
  return ByteSpan(buffer);
}

Result<ByteBuffer> read_bytes(const std::filesystem::path& path, std::uint64_t offset, std::uint64_t length) {
  VELORIUM_TRY(const File file, open_for_block(path, offset, length));
  ByteBuffer buffer = ByteBuffer::for_overwrite(static_cast<std::size_t>(length));
  if (length > 0) {
    VELORIUM_CHECK(file.pread_exact(buffer.data(), buffer.size(), offset));
  }
  return buffer;
}

}  // namespace velorium::raw

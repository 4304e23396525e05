#include "velorium/mzml/output.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <vector>

#include "velorium/mzml/encode.hpp"

namespace velorium::mzml {
namespace {

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

// renameat2 through the system call: older C libraries (the oldest that
// wheels are built against among them) have no wrapper.
int rename_noreplace(const char* from, const char* to) noexcept {
#ifdef SYS_renameat2
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE));
#else
  errno = ENOSYS;
  return -1;
#endif
}

constexpr std::size_t kFlushSize = std::size_t{1} << 20;

std::unexpected<Error> errno_error(int error) { return io_error(std::error_code(error, std::generic_category())); }

}  // namespace

Result<void> StringSink::append(std::string_view bytes) {
  text_.append(bytes);
  return {};
}

Result<void> StringSink::overwrite(std::uint64_t offset, std::string_view bytes) {
  if (offset > text_.size() || bytes.size() > text_.size() - offset) return errno_error(EINVAL);
  text_.replace(static_cast<std::size_t>(offset), bytes.size(), bytes);
  return {};
}

Result<void> StringSink::read(std::uint64_t offset, std::span<char> out) {
  if (offset > text_.size() || out.size() > text_.size() - offset) return errno_error(EINVAL);
  text_.copy(out.data(), out.size(), static_cast<std::size_t>(offset));
  return {};
}

Result<AtomicFile> AtomicFile::create(const std::filesystem::path& destination) {
  const std::filesystem::path folder = destination.has_parent_path() ? destination.parent_path() : ".";
  const std::string name = destination.filename().native();
  // Only collisions are at stake (the file is created with O_EXCL), so the
  // seed comes from getrandom(), or from the process and the clock when it
  // has nothing to give; std::random_device would need a newer glibc.
  std::uint64_t seed = 0;
  if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
    seed = (static_cast<std::uint64_t>(::getpid()) << 32) ^
           static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  std::mt19937_64 random(seed);
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix;
    for (int i = 0; i < 8; ++i) suffix += kDigits[random() % 36];
    std::filesystem::path temporary = folder / ("." + name + "." + suffix + ".part");
    const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return AtomicFile(destination, std::move(temporary), fd);
    if (errno != EEXIST) return errno_error(errno);
  }
  return errno_error(EEXIST);
}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : destination_(std::move(other.destination_)), temporary_(std::move(other.temporary_)), fd_(other.fd_) {
  other.fd_ = -1;
  other.temporary_.clear();
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

Result<void> AtomicFile::append(std::string_view bytes) {
  if (fd_ < 0) return errno_error(EBADF);
  while (!bytes.empty()) {
    const ssize_t done = ::write(fd_, bytes.data(), bytes.size());
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno_error(errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(done));
  }
  return {};
}

Result<void> AtomicFile::overwrite(std::uint64_t offset, std::string_view bytes) {
  if (fd_ < 0) return errno_error(EBADF);
  while (!bytes.empty()) {
    const ssize_t done = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno_error(errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(done));
    offset += static_cast<std::uint64_t>(done);
  }
  return {};
}

Result<void> AtomicFile::read(std::uint64_t offset, std::span<char> out) {
  if (fd_ < 0) return errno_error(EBADF);
  while (!out.empty()) {
    const ssize_t got = ::pread(fd_, out.data(), out.size(), static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno_error(errno);
    }
    if (got == 0) return io_error(IoErrc::unexpected_eof);
    out = out.subspan(static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
  }
  return {};
}

Result<void> AtomicFile::commit(bool replace) {
  if (fd_ < 0) return errno_error(EBADF);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) {
    const int error = errno;
    discard();
    return errno_error(error);
  }
  if (replace) {
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0) {
      const int error = errno;
      discard();
      return errno_error(error);
    }
  } else if (rename_noreplace(temporary_.c_str(), destination_.c_str()) != 0) {
    int error = errno;
    if (error == EINVAL || error == ENOSYS) {
      // A file system without RENAME_NOREPLACE: a hard link fails just as
      // atomically when the destination exists.
      error = ::link(temporary_.c_str(), destination_.c_str()) == 0 ? 0 : errno;
    }
    if (error != 0) {
      discard();
      return errno_error(error);
    }
    discard();  // the link took the data; remove the temporary name
    return {};
  }
  temporary_.clear();
  return {};
}

struct OutputStream::Hash {
  Sha1 sha1;
};

OutputStream::OutputStream(Sink& sink, bool hash) : sink_(sink) {
  buffer_.reserve(kFlushSize + 4096);
  if (hash) hash_ = std::make_unique<Hash>();
}

OutputStream::~OutputStream() = default;

Result<void> OutputStream::write(std::string_view bytes) {
  offset_ += bytes.size();
  if (buffer_.size() + bytes.size() <= kFlushSize) {
    buffer_.append(bytes);
    return {};
  }
  VELORIUM_CHECK(flush());
  if (bytes.size() >= kFlushSize) {
    if (hash_) hash_->sha1.update(bytes);
    return sink_.append(bytes);
  }
  buffer_.append(bytes);
  return {};
}

Result<void> OutputStream::flush() {
  if (buffer_.empty()) return {};
  if (hash_) hash_->sha1.update(buffer_);
  auto done = sink_.append(buffer_);
  buffer_.clear();
  return done;
}

Result<void> OutputStream::patch(std::uint64_t offset, std::string_view bytes) {
  VELORIUM_CHECK(flush());
  VELORIUM_CHECK(sink_.overwrite(offset, bytes));
  if (!hash_) return {};
  hash_->sha1.reset();
  std::vector<char> chunk(kFlushSize);
  for (std::uint64_t at = 0; at < offset_;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), offset_ - at));
    VELORIUM_CHECK(sink_.read(at, std::span<char>(chunk.data(), n)));
    hash_->sha1.update(std::string_view(chunk.data(), n));
    at += n;
  }
  return {};
}

Result<std::string> OutputStream::digest() {
  VELORIUM_CHECK(flush());
  if (!hash_) return std::string();
  return hash_->sha1.hex_digest();
}

}  // namespace velorium::mzml

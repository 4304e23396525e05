#include "velorium/output/publish.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>

namespace velorium::output {
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

std::unexpected<Error> errno_error(int error) { return io_error(std::error_code(error, std::generic_category())); }

std::filesystem::path folder_of(const std::filesystem::path& destination) {
  return destination.has_parent_path() ? destination.parent_path() : std::filesystem::path(".");
}

// fsync, retried when interrupted; EINVAL (a file or file system that has
// nothing to flush, such as a pipe) is no failure.
int sync_fd(int fd) noexcept {
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    return errno == EINVAL ? 0 : errno;
  }
  return 0;
}

// Flushes the folder entry of a rename or link to the disk.
int sync_folder(const std::filesystem::path& folder) noexcept {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = sync_fd(fd);
  ::close(fd);
  return error;
}

}  // namespace

Result<AtomicFile> AtomicFile::create(const std::filesystem::path& destination) {
  const std::filesystem::path folder = folder_of(destination);
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
  // The data reaches the disk before the name does: after a crash the
  // destination is either the old file or the whole new one.
  if (const int error = sync_fd(fd_); error != 0) {
    discard();
    return errno_error(error);
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) {
    const int error = errno;
    discard();
    return errno_error(error);
  }
  int error = 0;
  bool linked = false;
  if (replace) {
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0) error = errno;
  } else if (rename_noreplace(temporary_.c_str(), destination_.c_str()) != 0) {
    error = errno;
    if (error == EINVAL || error == ENOSYS) {
      // A file system without RENAME_NOREPLACE: a hard link fails just as
      // atomically when the destination exists.
      error = ::link(temporary_.c_str(), destination_.c_str()) == 0 ? 0 : errno;
      linked = error == 0;
    }
  }
  if (error != 0) {
    discard();
    return errno_error(error);
  }
  if (linked) {
    discard();  // the link took the data; remove the temporary name
  } else {
    temporary_.clear();
  }
  // The rename is durable once the folder is: a failure here is reported
  // (the caller cannot count on the file), though the file is in place.
  if (const int folder_error = sync_folder(folder_of(destination_)); folder_error != 0) {
    return errno_error(folder_error);
  }
  return {};
}

}  // namespace velorium::output

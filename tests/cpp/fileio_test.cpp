#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "velorium/raw/fileio.hpp"

namespace {

using velorium::raw::read_bytes;
using velorium::testing::TempDir;
using velorium::testing::write_file;

// For its lifetime, the calling thread lacks the capabilities that let root
// read and write whatever the permissions say (capabilities belong to each
// thread on Linux), so file permissions bind it as they bind anyone.
class PermissionsBind {
 public:
  PermissionsBind() {
    if (!get(saved_)) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    active_ = set(reduced);
  }
  ~PermissionsBind() {
    if (active_) set(saved_);
  }
  PermissionsBind(const PermissionsBind&) = delete;
  PermissionsBind& operator=(const PermissionsBind&) = delete;

  bool active() const { return active_; }

 private:
  static bool get(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
  }
  static bool set(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capset, &header, data) == 0;
  }

  __user_cap_data_struct saved_[2] = {};
  bool active_ = false;
};

TEST(ReadBytes, ExactRangesAndTheSizeCheck) {
  const TempDir dir;
  const auto path = dir / "MSPeak.bin";
  write_file(path, "0123456789");

  auto all = read_bytes(path, 0, 10);
  ASSERT_TRUE(all);
  EXPECT_EQ(std::string(all->data(), all->data() + all->size()), "0123456789");

  auto tail = read_bytes(path, 7, 3);
  ASSERT_TRUE(tail);
  EXPECT_EQ(std::string(tail->data(), tail->data() + tail->size()), "789");

  auto over = read_bytes(path, 7, 4);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().display(), "parse error: read_bytes: requested 4 bytes at offset 7 but " + path.string() +
                                        " has only 3 bytes remaining");

  auto beyond_empty = read_bytes(path, 1000, 0);
  ASSERT_TRUE(beyond_empty);
  EXPECT_EQ(beyond_empty->size(), 0u);
  auto beyond = read_bytes(path, 1000, 1);
  ASSERT_FALSE(beyond);
  EXPECT_NE(beyond.error().display().find("has only 0 bytes remaining"), std::string::npos);

  // A huge request is refused before any allocation.
  auto huge = read_bytes(path, 0, ~0ull);
  ASSERT_FALSE(huge);
  EXPECT_TRUE(huge.error().is_parse());
}

TEST(ReadBytes, IoErrors) {
  const TempDir dir;
  auto missing = read_bytes(dir / "absent", 0, 1);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().display(), "I/O error: No such file or directory");
  EXPECT_TRUE(velorium::raw::is_not_found(missing.error()));
}

TEST(ReadBytes, PathWithInvalidUtf8IsDisplayedWithReplacement) {
  const TempDir dir;
  const auto path = dir / "bad\xFFname";
  write_file(path, "x");
  auto over = read_bytes(path, 0, 2);
  ASSERT_FALSE(over);
  EXPECT_NE(over.error().display().find("bad\xEF\xBF\xBDname has only 1 bytes remaining"), std::string::npos);
}

TEST(ReadBytes, NoDescriptorIsLeftOpen) {
  const TempDir dir;
  write_file(dir / "f", "abc");
  const auto count_fds = [] {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
  };
  const std::size_t before = count_fds();
  for (int i = 0; i < 100; ++i) {
    (void)read_bytes(dir / "f", 0, 3);
    (void)read_bytes(dir / "f", 2, 5);
  }
  EXPECT_EQ(count_fds(), before);
}

TEST(WholeFileReads, TextMustBeUtf8) {
  const TempDir dir;
  write_file(dir / "ok.xml", "<a>µ</a>");
  EXPECT_EQ(velorium::raw::read_text_file(dir / "ok.xml").value(), "<a>µ</a>");
  const std::uint8_t utf16[] = {0xFF, 0xFE, '<', 0, 'a', 0};
  write_file(dir / "utf16.xml", utf16);
  auto bad = velorium::raw::read_text_file(dir / "utf16.xml");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().display(), "I/O error: stream did not contain valid UTF-8");
  EXPECT_FALSE(velorium::raw::is_not_found(bad.error()));

  auto dir_read = velorium::raw::read_file(dir.path());
  ASSERT_FALSE(dir_read);
  EXPECT_EQ(dir_read.error().display(), "I/O error: Is a directory");
  EXPECT_TRUE(velorium::raw::exists(dir.path()));
  EXPECT_FALSE(velorium::raw::exists(dir / "nothing"));
}

TEST(WholeFileReads, PermissionDenied) {
  const TempDir dir;
  write_file(dir / "locked", "x");
  ::chmod((dir / "locked").c_str(), 0);
  const PermissionsBind bind;  // root included
  ASSERT_TRUE(bind.active());
  auto locked = velorium::raw::read_file(dir / "locked");
  ASSERT_FALSE(locked);
  EXPECT_EQ(locked.error().display(), "I/O error: Permission denied");
  auto block = read_bytes(dir / "locked", 0, 1);
  ASSERT_FALSE(block);
  EXPECT_EQ(block.error().display(), "I/O error: Permission denied");
}

}  // namespace

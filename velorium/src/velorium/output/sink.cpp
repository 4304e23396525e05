#include "velorium/output/sink.hpp"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "velorium/output/sha1.hpp"

namespace velorium::output {
namespace {

constexpr std::size_t kFlushSize = std::size_t{1} << 20;

std::unexpected<Error> invalid() { return io_error(std::make_error_code(std::errc::invalid_argument)); }

}  // namespace

Result<void> StringSink::append(std::string_view bytes) {
  text_.append(bytes);
  return {};
}

Result<void> StringSink::overwrite(std::uint64_t offset, std::string_view bytes) {
  if (offset > text_.size() || bytes.size() > text_.size() - offset) return invalid();
  text_.replace(static_cast<std::size_t>(offset), bytes.size(), bytes);
  return {};
}

Result<void> StringSink::read(std::uint64_t offset, std::span<char> out) {
  if (offset > text_.size() || out.size() > text_.size() - offset) return invalid();
  text_.copy(out.data(), out.size(), static_cast<std::size_t>(offset));
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

Result<std::uint64_t> OutputStream::write_patchable(std::string_view bytes) {
  VELORIUM_CHECK(flush());
  const std::uint64_t at = offset_;
  offset_ += bytes.size();
  if (hash_) hash_->sha1.update(bytes);
  VELORIUM_CHECK(sink_.append_patchable(bytes));
  return at;
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

}  // namespace velorium::output

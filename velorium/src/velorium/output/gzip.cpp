#include "velorium/output/gzip.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include <libdeflate.h>

namespace velorium::output {
namespace {

// The fixed header of every member: magic, deflate, no flags, no time, no
// extra flags, Unix.
constexpr unsigned char kHeader[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};

void put_le(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// One member holding `bytes` in stored deflate blocks: its size depends on
// the length of `bytes` alone.
void stored_member(std::string_view bytes, std::string& out) {
  out.assign(reinterpret_cast<const char*>(kHeader), sizeof kHeader);
  std::size_t at = 0;
  do {
    const std::size_t n = std::min<std::size_t>(bytes.size() - at, 65535);
    const bool last = at + n == bytes.size();
    out += static_cast<char>(last ? 1 : 0);
    put_le(out, static_cast<std::uint32_t>(n), 2);
    put_le(out, static_cast<std::uint32_t>(~n & 0xffff), 2);
    out.append(bytes.substr(at, n));
    at += n;
  } while (at < bytes.size());
  put_le(out, libdeflate_crc32(0, bytes.data(), bytes.size()), 4);
  put_le(out, static_cast<std::uint32_t>(bytes.size()), 4);
}

std::unexpected<Error> corrupt() { return io_error(std::make_error_code(std::errc::io_error)); }

}  // namespace

struct GzipSink::Compressor {
  libdeflate_compressor* compressor = nullptr;
  libdeflate_decompressor* decompressor = nullptr;
  ~Compressor() {
    libdeflate_free_compressor(compressor);
    libdeflate_free_decompressor(decompressor);
  }
};

GzipSink::GzipSink(Sink& inner) : inner_(inner), compressor_(std::make_unique<Compressor>()) {
  compressor_->compressor = libdeflate_alloc_compressor(6);
  if (compressor_->compressor == nullptr) throw std::bad_alloc();
}

GzipSink::~GzipSink() = default;

Result<void> GzipSink::add(std::string_view bytes, bool stored) {
  if (stored) {
    stored_member(bytes, packed_);
  } else {
    packed_.resize(libdeflate_gzip_compress_bound(compressor_->compressor, bytes.size()));
    const std::size_t n =
        libdeflate_gzip_compress(compressor_->compressor, bytes.data(), bytes.size(), packed_.data(), packed_.size());
    if (n == 0) throw std::bad_alloc();  // the bound is always enough
    packed_.resize(n);
  }
  VELORIUM_CHECK(inner_.append(packed_));
  members_.push_back({size_, bytes.size(), packed_size_, packed_.size(), stored});
  size_ += bytes.size();
  packed_size_ += packed_.size();
  return {};
}

Result<void> GzipSink::append(std::string_view bytes) {
  if (bytes.empty()) return {};
  return add(bytes, false);
}

Result<void> GzipSink::append_patchable(std::string_view bytes) { return add(bytes, true); }

std::size_t GzipSink::member_at(std::uint64_t offset) const noexcept {
  const auto after = std::upper_bound(members_.begin(), members_.end(), offset,
                                      [](std::uint64_t at, const Member& m) { return at < m.offset; });
  if (after == members_.begin()) return kNone;
  const auto found = std::prev(after);
  if (offset >= found->offset + found->size) return kNone;
  return static_cast<std::size_t>(found - members_.begin());
}

Result<void> GzipSink::load(std::size_t k) {
  if (cached_ == k) return {};
  const Member& m = members_[k];
  cached_ = kNone;
  packed_.resize(m.packed_size);
  VELORIUM_CHECK(inner_.read(m.packed_offset, packed_));
  if (compressor_->decompressor == nullptr) {
    compressor_->decompressor = libdeflate_alloc_decompressor();
    if (compressor_->decompressor == nullptr) throw std::bad_alloc();
  }
  plain_.resize(m.size);
  if (libdeflate_gzip_decompress(compressor_->decompressor, packed_.data(), packed_.size(), plain_.data(),
                                 plain_.size(), nullptr) != LIBDEFLATE_SUCCESS) {
    return corrupt();
  }
  cached_ = k;
  return {};
}

Result<void> GzipSink::overwrite(std::uint64_t offset, std::string_view bytes) {
  const std::size_t k = member_at(offset);
  if (k == kNone || !members_[k].stored || bytes.size() > members_[k].offset + members_[k].size - offset) {
    return io_error(std::make_error_code(std::errc::invalid_argument));
  }
  VELORIUM_CHECK(load(k));
  const Member& m = members_[k];
  plain_.replace(static_cast<std::size_t>(offset - m.offset), bytes.size(), bytes);
  std::string member;
  stored_member(plain_, member);
  return inner_.overwrite(m.packed_offset, member);
}

Result<void> GzipSink::read(std::uint64_t offset, std::span<char> out) {
  while (!out.empty()) {
    const std::size_t k = member_at(offset);
    if (k == kNone) return io_error(IoErrc::unexpected_eof);
    VELORIUM_CHECK(load(k));
    const Member& m = members_[k];
    const std::size_t from = static_cast<std::size_t>(offset - m.offset);
    const std::size_t n = std::min(out.size(), plain_.size() - from);
    std::memcpy(out.data(), plain_.data() + from, n);
    out = out.subspan(n);
    offset += n;
  }
  return {};
}

}  // namespace velorium::output

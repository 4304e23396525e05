// A sink that stores what it is given as a gzip file (RFC 1952) in another
// sink: each append becomes one gzip member, which every gzip reader reads
// as one stream (the writers append about 1 MiB at a time, so the members
// cost nothing measurable in size). Bytes appended as patchable get a
// member of their own with one stored block, whose size does not depend on
// the bytes, so that they can be replaced in place. Offsets are those of the
// uncompressed bytes, as an index inside the file counts them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "velorium/output/sink.hpp"

namespace velorium::output {

class GzipSink final : public Sink {
 public:
  explicit GzipSink(Sink& inner);
  ~GzipSink() override;
  GzipSink(const GzipSink&) = delete;
  GzipSink& operator=(const GzipSink&) = delete;

  Result<void> append(std::string_view bytes) override;
  Result<void> append_patchable(std::string_view bytes) override;
  Result<void> overwrite(std::uint64_t offset, std::string_view bytes) override;
  Result<void> read(std::uint64_t offset, std::span<char> out) override;

 private:
  struct Member {
    std::uint64_t offset = 0;         // of its first uncompressed byte
    std::uint64_t size = 0;           // uncompressed bytes
    std::uint64_t packed_offset = 0;  // in the inner sink
    std::uint64_t packed_size = 0;
    bool stored = false;              // a patchable member
  };
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  Result<void> add(std::string_view bytes, bool stored);
  // The position of the member that holds uncompressed byte `offset`, or kNone.
  std::size_t member_at(std::uint64_t offset) const noexcept;
  // The uncompressed bytes of member `k` into plain_.
  Result<void> load(std::size_t k);

  Sink& inner_;
  struct Compressor;
  std::unique_ptr<Compressor> compressor_;
  std::vector<Member> members_;
  std::uint64_t size_ = 0;
  std::uint64_t packed_size_ = 0;
  std::string packed_;              // a member as stored
  std::string plain_;               // the uncompressed bytes of member cached_
  std::size_t cached_ = kNone;
};

}  // namespace velorium::output

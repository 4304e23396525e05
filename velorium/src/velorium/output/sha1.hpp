// SHA-1 (FIPS 180-4): the digest the mzML file checksum and the source
// file's checksum are written with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "velorium/error.hpp"

namespace velorium::output {

// The block function of SHA-1, for tests and benchmarks: hashes whole
// 64-byte blocks into a state, as Sha1 does with every full block.
namespace sha1_blocks {
using State = std::array<std::uint32_t, 5>;
// Plain C++.
void portable(State& state, const std::uint8_t* blocks, std::size_t count) noexcept;
// The processor's SHA instructions where it has them (x86-64 with the SHA
// extensions), `portable` otherwise. Sha1 uses this one.
void fastest(State& state, const std::uint8_t* blocks, std::size_t count) noexcept;
// Whether `fastest` uses the processor's SHA instructions.
bool accelerated() noexcept;
}  // namespace sha1_blocks

// An incremental SHA-1: a plain value type (copyable; a copy continues
// independently from the same state) that never allocates. Any number of
// update() calls of any sizes give the digest of the concatenated bytes.
class Sha1 {
 public:
  Sha1() noexcept { reset(); }

  void update(std::span<const std::uint8_t> bytes) noexcept;
  void update(std::string_view bytes) noexcept;
  // Forgets everything given so far.
  void reset() noexcept;
  // The digest of everything given since the last reset; the state is reset
  // afterwards.
  std::array<std::uint8_t, 20> digest() noexcept;
  // The same digest as 40 lowercase hexadecimal digits; resets too.
  std::string hex_digest();

 private:
  void compress(const std::uint8_t* blocks, std::size_t count) noexcept;

  sha1_blocks::State state_{};
  std::uint64_t length_ = 0;  // bytes given since the last reset
  std::array<std::uint8_t, 64> block_{};
  std::size_t used_ = 0;  // bytes of block_ waiting for a full block
};

// The SHA-1 of a whole file as 40 lowercase hexadecimal digits, read in
// chunks; an Io error when the file cannot be opened or read.
Result<std::string> sha1_of_file(const std::filesystem::path& path);

}  // namespace velorium::output

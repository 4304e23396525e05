// Binary arrays as mzML holds them: little-endian values, optionally
// zlib-compressed, in base64; and the SHA-1 digests of the source file and
// of the written file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velorium/error.hpp"
#include "velorium/output/sha1.hpp"

namespace velorium::mzml {

// Appends the base64 form (RFC 4648, with padding, no line breaks).
void append_base64(std::string& out, std::span<const std::uint8_t> bytes);

// The zlib stream (RFC 1950) of `bytes`, compressed with libdeflate.
class ZlibCompressor {
 public:
  ZlibCompressor();
  ~ZlibCompressor();
  ZlibCompressor(const ZlibCompressor&) = delete;
  ZlibCompressor& operator=(const ZlibCompressor&) = delete;

  // Replaces `out` with the compressed stream.
  void compress(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The base64 text of the array as mzML stores it: the values' bytes (the
// host is little-endian, as mzML's arrays are), zlib-compressed when
// `compressor` is given. `scratch` is reused between calls.
void encode_array(std::span<const std::uint8_t> bytes, ZlibCompressor* compressor, std::vector<std::uint8_t>& scratch,
                  std::string& out);

// The SHA-1 digests are the output subsystem's.
using output::Sha1;
using output::sha1_of_file;

}  // namespace velorium::mzml

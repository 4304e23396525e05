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

// An incremental SHA-1 (OpenSSL's libcrypto).
class Sha1 {
 public:
  Sha1();
  ~Sha1();
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;

  void update(std::string_view bytes);
  void reset();
  // The digest of everything given since the last reset, as 40 lowercase
  // hexadecimal digits; the state is reset afterwards.
  std::string hex_digest();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The SHA-1 of a whole file, read in chunks.
Result<std::string> sha1_of_file(const std::filesystem::path& path);

}  // namespace velorium::mzml

// Decoder of the header-less LZF format of profile blocks.
#pragma once

#include <cstdint>
#include <span>

#include "velorium/error.hpp"
#include "velorium/raw/bytes.hpp"

namespace velorium::raw::lzf {

// Largest output a block may claim: 512 MiB.
inline constexpr std::uint64_t kMaxDecompressedLength = 536870912;

// Expands `input` to exactly `expected_length` bytes, or fails with a Parse
// error; nothing partial is returned.
Result<ByteBuffer> decompress(ByteSpan input, std::uint64_t expected_length);

// decompress into `out`, which receives exactly out.size() bytes: the same
// checks and errors. On failure the contents of `out` are unspecified.
Result<void> decompress_into(ByteSpan input, std::span<std::uint8_t> out);

}  // namespace velorium::raw::lzf

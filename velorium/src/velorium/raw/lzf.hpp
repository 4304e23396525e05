// Decoder of the header-less LZF format of profile blocks.
#pragma once

#include <cstdint>

#include "velorium/error.hpp"
#include "velorium/raw/bytes.hpp"

namespace velorium::raw::lzf {

// Largest output a block may claim: 512 MiB.
inline constexpr std::uint64_t kMaxDecompressedLength = 536870912;

// Expands `input` to exactly `expected_length` bytes, or fails with a Parse
// error; nothing partial is returned.
Result<ByteBuffer> decompress(ByteSpan input, std::uint64_t expected_length);

}  // namespace velorium::raw::lzf

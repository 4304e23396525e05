// Per-thread working memory of Reader::decode_spectrum_into, reused from
// scan to scan: the block's bytes and its decompressed bytes.
#pragma once

#include "velorium/raw/bytes.hpp"

namespace velorium {

struct DecodeScratch {
  raw::ScratchBuffer block;
  raw::ScratchBuffer unpacked;
};

}  // namespace velorium

// The per-thread working memory of Reader::decode_spectrum_into, reused from
// scan to scan: the block's bytes, its decompressed bytes and recent m/z
// axes. Private to the library; reader.hpp names it only.
#pragma once

#include "velorium/raw/bytes.hpp"
#include "velorium/raw/msprofile.hpp"

namespace velorium {

struct DecodeScratch {
  raw::ScratchBuffer block;
  raw::ScratchBuffer unpacked;
  raw::msprofile::AxisCache axes;
};

}  // namespace velorium

// lzf::decompress, compared with liblzf's lzf_decompress.
//
// Input: a u32 expected length, then the compressed bytes. A length above
// the 512 MiB cap must fail with the cap message before anything is
// allocated. Lengths at or below the cap are reduced to their low 20 bits
// (at most 1 MiB): an input of a few KiB can only expand to about 88 times
// its size (264 bytes per 3-byte back reference), so bigger claims would
// only exercise the same failure paths, at the cost of large allocations.
#include <liblzf/lzf.h>

#include <cerrno>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "velorium/raw/lzf.hpp"

namespace lzf = velorium::raw::lzf;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velorium::fuzz::Input in(data, size);
  std::uint64_t expected = in.take<std::uint32_t>();
  const auto input = in.rest();

  if (expected > lzf::kMaxDecompressedLength) {
    const auto r = lzf::decompress(input, expected);
    VELORIUM_FUZZ_CHECK(!r);
    const auto* parse = r.error().as_parse();
    VELORIUM_FUZZ_CHECK(parse != nullptr && parse->message.starts_with("LZF: expected decompressed length "));
    return 0;
  }
  expected &= 0xFFFFF;

  const auto ours = lzf::decompress(input, expected);
  if (ours) VELORIUM_FUZZ_CHECK(ours->size() == expected);

  // liblzf writes exactly what it decodes; the buffer starts out as the
  // complement of our output so that any byte it leaves alone shows.
  std::vector<std::uint8_t> theirs(expected + 1);
  if (ours) {
    for (std::size_t i = 0; i < expected; ++i) theirs[i] = static_cast<std::uint8_t>(~ours->data()[i]);
  }
  if (input.empty()) {
    // liblzf reads a first control byte even from an empty input.
    VELORIUM_FUZZ_CHECK(static_cast<bool>(ours) == (expected == 0));
    return 0;
  }
  errno = 0;
  const unsigned produced = lzf_decompress(input.data(), static_cast<unsigned>(input.size()), theirs.data(),
                                           static_cast<unsigned>(expected));
  const bool theirs_complete = produced == expected && (expected != 0 || errno == 0);

  if (ours) {
    // Same bytes. liblzf reads on after the output is full and then fails on
    // the trailing instruction; that is the only way it may differ.
    VELORIUM_FUZZ_CHECK(std::equal(theirs.begin(), theirs.begin() + static_cast<std::ptrdiff_t>(expected),
                                   ours->data()));
    VELORIUM_FUZZ_CHECK(produced == expected || (produced == 0 && (errno == E2BIG || errno == EINVAL)));
  } else if (theirs_complete) {
    // liblzf consumed the whole input and filled the output exactly: a valid
    // stream, which ours must accept as well.
    VELORIUM_FUZZ_CHECK(!"liblzf decoded a stream that lzf::decompress refused");
  }
  return 0;
}

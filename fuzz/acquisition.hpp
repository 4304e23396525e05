// The container that the acquisition target splits into the files of an
// AcqData folder, shared with the seed-corpus writer (make_corpus.py writes
// the same layout):
//
//   a sequence of sections, each: one byte file tag, u32 little-endian
//   length, then that many bytes (fewer when the input ends first).
//
// The tag modulo 8 picks the file (0 MSScan.bin, 1 MSProfile.bin,
// 2 MSPeak.bin, 3 MSMassCal.bin, 4 DefaultMassCal.xml, 5 Devices.xml,
// 6 Contents.xml; 7 is skipped). A later section for the same file replaces
// the earlier one; a file without a section is absent from the folder.
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"

namespace velorium::fuzz {

inline constexpr std::array<std::string_view, 7> kAcqFiles = {
    "MSScan.bin", "MSProfile.bin", "MSPeak.bin", "MSMassCal.bin", "DefaultMassCal.xml", "Devices.xml", "Contents.xml",
};

using AcqFiles = std::array<std::optional<std::span<const std::uint8_t>>, kAcqFiles.size()>;

inline AcqFiles split_acquisition(const std::uint8_t* data, std::size_t size) {
  AcqFiles files;
  Input in(data, size);
  while (in.remaining() != 0) {
    const auto tag = static_cast<std::size_t>(in.take<std::uint8_t>() % 8);
    const auto length = in.take<std::uint32_t>();
    const auto bytes = in.take_bytes(length);
    if (tag < files.size()) files[tag] = bytes;
  }
  return files;
}

}  // namespace velorium::fuzz

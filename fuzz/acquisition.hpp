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
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "velorium/raw/lzf.hpp"
#include "velorium/raw/msprofile.hpp"
#include "velorium/raw/msscan.hpp"

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

// The size claims of the profile descriptors in an MSScan.bin image, made
// small enough to decode within libFuzzer's limits: point counts between
// 2^16 and the run-length cap of 2^27 are reduced to their low 16 bits, and
// uncompressed byte counts between 16 MiB and the LZF cap to their low 24
// bits. A run-length block of a few bytes may claim 2^27 points, which
// decode to 1.5 GiB, more than libFuzzer's malloc limit, and a folder holds
// many such blocks. The profile_block and run_length targets cover the
// larger claims.
struct DescriptorAt {
  std::size_t offset;
  bool compact;
};

inline void clamp_u32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t low, std::uint32_t high,
                      std::uint32_t mask) {
  std::uint32_t v;
  std::memcpy(&v, bytes.data() + at, 4);
  if (v > low && v <= high) v &= mask;
  std::memcpy(bytes.data() + at, &v, 4);
}

inline void clamp_profile_claims(std::vector<std::uint8_t>& image) {
  const auto scan = raw::msscan::from_bytes(image);
  if (!scan) return;
  std::vector<DescriptorAt> descriptors;
  switch (scan->stride) {
    case 284: descriptors = {{156, false}, {220, false}}; break;
    case 220: descriptors = {{156, false}}; break;
    case 216: descriptors = {{152, false}}; break;
    case 196: descriptors = {{144, false}}; break;
    default: descriptors = {{136, true}}; break;
  }
  for (std::size_t i = 0; i < scan->records.size(); ++i) {
    const std::size_t record = scan->global_header_size + i * scan->stride;
    for (const DescriptorAt d : descriptors) {
      const std::size_t at = record + d.offset;
      const std::size_t fields = at + (d.compact ? 2 : 4);
      clamp_u32(image, fields + 12, 0xFFFF, raw::msprofile::kMaxRunLengthPoints, 0xFFFF);
      clamp_u32(image, fields + 16, 0xFFFFFF, raw::lzf::kMaxDecompressedLength, 0xFFFFFF);
    }
  }
}

// Writes the files of the input (split_acquisition) into this process's
// scratch folder run.d/AcqData, MSScan.bin with its claims clamped, removing
// the files the input has no section for; returns the folder run.d.
inline std::filesystem::path write_acquisition_folder(const std::uint8_t* data, std::size_t size) {
  static const auto root = scratch_dir() / "run.d";
  static const auto acqdata = root / "AcqData";
  static const bool made = std::filesystem::create_directories(acqdata);
  (void)made;
  const auto files = split_acquisition(data, size);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto path = acqdata / kAcqFiles[i];
    if (!files[i]) {
      std::error_code ec;
      std::filesystem::remove(path, ec);
      continue;
    }
    if (i == 0) {
      std::vector<std::uint8_t> image(files[i]->begin(), files[i]->end());
      clamp_profile_claims(image);
      write_file(path, image);
    } else {
      write_file(path, *files[i]);
    }
  }
  return root;
}

}  // namespace velorium::fuzz

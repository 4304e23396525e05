// Decoding a scan as an acquisition is set to deliver it: which block is
// read where a scan has both, and whether a profile spectrum is handed out
// as the centroids the picker finds in it. Every path that decodes scans for
// a caller (one scan, read-ahead, the columnar store, the extracted-ion
// chromatograms) goes through the same decoding (spectrum below, and its
// unreported form for the library's parallel paths), so all of them give the
// same spectra.
#pragma once

#include <cstddef>

#include "lumora/types.hpp"
#include "velorium/error.hpp"
#include "velorium/peaks/pick.hpp"
#include "velorium/reader.hpp"

namespace velorium::peaks {

// Which spectra are picked: none; those that come out of a profile block
// under the preference (so with BlockPreference::Centroid the instrument's
// centroids where a scan has them, picked peaks elsewhere); or every scan
// with a profile block, whatever the preference.
enum class PickMode { None, Missing, All };

struct DecodeOptions {
  BlockPreference prefer = BlockPreference::Profile;
  PickMode pick = PickMode::None;
  PickParams params{};

  // The block preference decoding uses: prefer, or Profile under PickMode::All.
  BlockPreference block_preference() const noexcept {
    return pick == PickMode::All ? BlockPreference::Profile : prefer;
  }

  // Whether scan `index` (below reader.scan_count()) is picked, known from
  // the scan record alone: its block under block_preference() is a profile
  // block and picking is on.
  bool picks(const Reader& reader, std::size_t index) const noexcept {
    return pick != PickMode::None && reader.block_plan(index, block_preference()).kind == BlockKind::Profile;
  }
};

// Replaces the points of `spectrum`, a profile spectrum, by the centroids
// the picker finds in them and sets its scan mode to centroid; nothing else
// of the record changes. Every path that hands out picked spectra (the
// decoding below, and the picking step of the export's processing chain)
// picks through this one function, so they give the same spectra bit for
// bit. The picker's Error (m/z values that do not ascend), with the record
// unchanged.
Result<void> pick_spectrum(lumora::SpectrumRecord& spectrum, const PickParams& params);

// The spectrum of scan `index` (below reader.scan_count()) decoded under
// options.block_preference(), with the points of a profile spectrum replaced
// by its centroids and its scan mode set to centroid when options.picks says
// so: Reader::spectrum with picking. A spectrum that cannot be picked (m/z
// values that do not ascend) fails as its profile block, a Scan error; a
// failure is counted and logged at once, as Reader::spectrum does. Safe from
// any thread.
Result<lumora::SpectrumRecord> spectrum(const Reader& reader, std::size_t index, const DecodeOptions& options);

}  // namespace velorium::peaks

// The reader's decoding paths for the library's own subsystems: the
// prefetcher, the store and the XIC decode scans on several threads without
// reporting anything, then report the one failure that decides their result
// in the order a scan-by-scan decode would meet it; the store and the XIC
// also decode straight into memory of their own. Not installed: a user
// decodes through Reader::spectrum, the Prefetcher, store::build_store and
// xic::extract, which report their failures themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "lumora/types.hpp"
#include "velorium/error.hpp"
#include "velorium/peaks/decode.hpp"
#include "velorium/reader.hpp"

namespace velorium::internal {

// The spectrum of scan `index` (below reader.scan_count()), or the failure
// of its block as a Scan error, unreported: no log record and no count.
// Safe from any thread.
Result<lumora::SpectrumRecord> decode_spectrum(const Reader& reader, std::size_t index,
                                               BlockPreference prefer = BlockPreference::Profile);

// The same under `options`: peaks::spectrum, unreported (peaks/decode.cpp).
Result<lumora::SpectrumRecord> decode_spectrum(const Reader& reader, std::size_t index,
                                               const peaks::DecodeOptions& options);

// Per-thread working memory of decode_spectrum_into, reused from scan to
// scan: the block's bytes, its decompressed bytes and the m/z axes of recent
// profile blocks.
class DecodeScratch {
 public:
  struct Buffers;  // defined with the decoders

  DecodeScratch();
  DecodeScratch(DecodeScratch&&) noexcept;
  DecodeScratch& operator=(DecodeScratch&&) noexcept;
  ~DecodeScratch();

  Buffers& buffers() noexcept { return *buffers_; }

 private:
  std::unique_ptr<Buffers> buffers_;
};

// decode_spectrum with the points written into `mz` and `intensity` instead
// of the record, whose mz and intensity stay empty. Both spans hold exactly
// reader.block_plan(index, prefer).point_count points. The same checks,
// errors and values bit for bit; on failure the contents of the spans are
// unspecified. Safe from any thread, each with its own scratch.
Result<lumora::SpectrumRecord> decode_spectrum_into(const Reader& reader, std::size_t index, BlockPreference prefer,
                                                    std::span<double> mz, std::span<float> intensity,
                                                    DecodeScratch& scratch);

// Counts and logs a failure that decode_spectrum or decode_spectrum_into
// returned (the first of its block kind at warn level, the later ones at
// debug level) and returns it.
Error report_failure(const Reader& reader, Error failure);

// The sizes of a run's MSProfile.bin and MSPeak.bin, nothing where a file
// cannot be queried: taken once for many scans.
struct DataFileSizes {
  std::optional<std::uint64_t> profile;
  std::optional<std::uint64_t> peak;
};
DataFileSizes data_file_sizes(const Reader& reader);

// The points a successful decode of scan `index` under `prefer` yields when
// the scan record's descriptor and the data files' sizes can back them, else
// 0 (that decode fails before it writes a point): room sized from it is
// never more than the files can fill.
std::uint32_t justified_points(const Reader& reader, std::size_t index, BlockPreference prefer,
                               const DataFileSizes& sizes) noexcept;

}  // namespace velorium::internal

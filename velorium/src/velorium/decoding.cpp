// Spectrum assembly: the block a scan is read from, its decoding (into new
// arrays or into the caller's memory) and the record around the peaks.
#include <utility>

#include "velorium/internal/decoding.hpp"
#include "velorium/log.hpp"
#include "velorium/raw/calibrations.hpp"
#include "velorium/raw/fileio.hpp"
#include "velorium/raw/mspeak.hpp"
#include "velorium/raw/msprofile.hpp"
#include "velorium/reader.hpp"
#include "velorium/text.hpp"

namespace velorium {
namespace internal {

// What the decoding paths read of a reader beyond its public surface.
struct ReaderAccess {
  static const raw::calibration::TofCalibration* calibration(const Reader& reader, std::size_t index) noexcept {
    return reader.calibrations_->at_scan(index);
  }
  static const std::filesystem::path& path_of(const Reader& reader, BlockKind kind) noexcept {
    return kind == BlockKind::Centroid ? reader.peak_path_ : reader.profile_path_;
  }
  static auto& failures(const Reader& reader, BlockKind kind) noexcept {
    return kind == BlockKind::Centroid ? reader.centroid_failures_ : reader.profile_failures_;
  }
};

struct DecodeScratch::Buffers {
  raw::ScratchBuffer block;
  raw::ScratchBuffer unpacked;
  raw::msprofile::AxisCache axes;
};

DecodeScratch::DecodeScratch() : buffers_(std::make_unique<Buffers>()) {}
DecodeScratch::DecodeScratch(DecodeScratch&&) noexcept = default;
DecodeScratch& DecodeScratch::operator=(DecodeScratch&&) noexcept = default;
DecodeScratch::~DecodeScratch() = default;

}  // namespace internal

namespace {

using internal::ReaderAccess;

constexpr std::string_view kProfile = "profile";
constexpr std::string_view kCentroid = "centroid";

void add_block_keys(lumora::TextMap& extra, std::string_view kind, const SpectrumParams& params) {
  const std::string prefix = text::cat("velorium.", kind, ".");
  extra.insert_or_assign(prefix + "format_id", text::cat(params.format_id));
  extra.insert_or_assign(prefix + "offset", text::cat(params.offset));
  extra.insert_or_assign(prefix + "byte_count", text::cat(params.byte_count));
  extra.insert_or_assign(prefix + "point_count", text::cat(params.point_count));
  if (params.uncompressed_byte_count) {
    extra.insert_or_assign(prefix + "uncompressed_byte_count", text::cat(*params.uncompressed_byte_count));
  }
}

lumora::TextMap spectrum_extra(const ScanRecord& scan) {
  lumora::TextMap extra;
  if (scan.mrm_channel_id) extra.insert_or_assign("velorium.mrm_channel_id", text::cat(*scan.mrm_channel_id));
  if (scan.profile_params) add_block_keys(extra, kProfile, *scan.profile_params);
  if (scan.centroid_params) add_block_keys(extra, kCentroid, *scan.centroid_params);
  if (scan.calibration_id) extra.insert_or_assign("velorium.calibration_id", text::cat(*scan.calibration_id));
  if (!scan.polarity()) {
    extra.insert_or_assign("velorium.ion_polarity", text::cat(scan.ion_polarity));
  }
  return extra;
}

std::optional<lumora::Precursor> precursor_of(const ScanRecord& scan) {
  if (scan.ms_level < 2) return std::nullopt;
  lumora::Precursor precursor;
  precursor.collision_energy = scan.collision_energy;
  if (scan.mrm_channel_id) {
    precursor.precursor_native_id = text::cat("mrm_channel=", *scan.mrm_channel_id);
  } else {
    precursor.target_mz = scan.target_mz;
  }
  return precursor;
}

// The record of scan `index` read in `mode`, without peaks.
lumora::SpectrumRecord record_without_peaks(const Reader& reader, std::size_t index, lumora::ScanMode mode) {
  const ScanRecord& scan = reader.scan(index);
  lumora::SpectrumRecord record;
  record.index = index;
  record.scan_number = scan.scan_id;
  record.native_id = text::cat("scanId=", scan.scan_id);
  record.ms_level = scan.ms_level;
  record.polarity = scan.polarity();
  record.scan_mode = mode;
  record.analyzer = reader.analyzer();
  record.retention_time_sec = scan.retention_time_sec();
  record.reported_total_ion_current = scan.tic;
  record.reported_base_peak_mz = scan.base_peak_mz;
  record.reported_base_peak_intensity = scan.base_peak_intensity;
  record.low_mz = scan.min_x;
  record.high_mz = scan.max_x;
  record.precursor = precursor_of(scan);
  return std::move(record).with_extra_map(spectrum_extra(scan));
}

// Reads and decodes the blocks that block_plan names for scan `index`
// through `sink`, and gives the scan mode of the spectrum or the failure
// as an unreported Scan error. Under the profile preference an empty
// profile block is decoded, and may fail, before the centroid block is
// read. The sink reads a block with read(path, params) -> Result<ByteSpan>
// and decodes it with profile(bytes, params, calibration, keep) (`keep`
// false for the empty block decoded for its checks alone) or
// centroid(bytes, params, calibration), each a Result<void>.
template <class Sink>
Result<lumora::ScanMode> decode_blocks(const Reader& reader, std::size_t index, BlockPreference prefer, Sink& sink) {
  const ScanRecord& scan = reader.scan(index);
  const raw::calibration::TofCalibration* calibration = ReaderAccess::calibration(reader, index);
  const auto failed = [&](BlockKind kind, Error error) {
    return fail(Error::scan(scan.scan_id, block_kind_name(kind), std::move(error)));
  };
  const BlockPlan plan = reader.block_plan(index, prefer);
  if (plan.kind == BlockKind::Profile || (prefer == BlockPreference::Profile && scan.profile_params)) {
    const SpectrumParams& params = *scan.profile_params;
    if (calibration == nullptr) {
      return failed(BlockKind::Profile, Error::parse("profile block has no mass calibration"));
    }
    auto bytes = sink.read(ReaderAccess::path_of(reader, BlockKind::Profile), params);
    if (!bytes) return failed(BlockKind::Profile, std::move(bytes).error());
    const bool keep = plan.kind == BlockKind::Profile;
    if (auto decoded = sink.profile(*bytes, params, *calibration, keep); !decoded) {
      return failed(BlockKind::Profile, std::move(decoded).error());
    }
    if (keep) return lumora::ScanMode::Profile;
  }
  if (plan.params != nullptr) {
    const SpectrumParams& params = *plan.params;
    auto bytes = sink.read(ReaderAccess::path_of(reader, BlockKind::Centroid), params);
    if (!bytes) return failed(BlockKind::Centroid, std::move(bytes).error());
    if (auto decoded = sink.centroid(*bytes, params, calibration); !decoded) {
      return failed(BlockKind::Centroid, std::move(decoded).error());
    }
  }
  return lumora::ScanMode::Centroid;
}

// Decodes into new arrays of the size each block yields.
class ArraySink {
 public:
  Result<raw::ByteSpan> read(const std::filesystem::path& path, const SpectrumParams& params) {
    VELORIUM_TRY(block_, raw::read_bytes(path, params.offset, params.byte_count));
    return raw::ByteSpan(block_);
  }
  Result<void> profile(raw::ByteSpan bytes, const SpectrumParams& params,
                       const raw::calibration::TofCalibration& calibration, bool keep) {
    VELORIUM_TRY(raw::Peaks peaks, raw::msprofile::decode_profile_block(bytes, params, calibration));
    block_ = raw::ByteBuffer();
    if (keep) peaks_ = std::move(peaks);
    return {};
  }
  Result<void> centroid(raw::ByteSpan bytes, const SpectrumParams& params,
                        const raw::calibration::TofCalibration* calibration) {
    VELORIUM_TRY(peaks_, raw::mspeak::decode_peak_block(bytes, params, calibration));
    return {};
  }
  raw::Peaks take() && { return std::move(peaks_); }

 private:
  raw::ByteBuffer block_;
  raw::Peaks peaks_;
};

// Decodes into the caller's spans, with a thread's scratch memory.
class SpanSink {
 public:
  SpanSink(raw::PeakSpans out, internal::DecodeScratch::Buffers& scratch) noexcept : out_(out), scratch_(scratch) {}

  Result<raw::ByteSpan> read(const std::filesystem::path& path, const SpectrumParams& params) {
    return raw::read_bytes(path, params.offset, params.byte_count, scratch_.block);
  }
  Result<void> profile(raw::ByteSpan bytes, const SpectrumParams& params,
                       const raw::calibration::TofCalibration& calibration, bool keep) {
    auto decoded = raw::msprofile::decode_profile_block_into(bytes, params, calibration, keep ? out_ : raw::PeakSpans{},
                                                             scratch_.unpacked, &scratch_.axes);
    scratch_.unpacked.trim();
    scratch_.block.trim();
    return decoded;
  }
  Result<void> centroid(raw::ByteSpan bytes, const SpectrumParams& params,
                        const raw::calibration::TofCalibration* calibration) {
    auto decoded = raw::mspeak::decode_peak_block_into(bytes, params, calibration, out_);
    scratch_.block.trim();
    return decoded;
  }

 private:
  raw::PeakSpans out_;
  internal::DecodeScratch::Buffers& scratch_;
};

}  // namespace

std::string_view block_kind_name(BlockKind kind) noexcept {
  return kind == BlockKind::Centroid ? kCentroid : kProfile;
}

BlockPlan Reader::block_plan(std::size_t index, BlockPreference prefer) const noexcept {
  const ScanRecord& scan = scan_index_.records[index];
  const bool profile_first = !(prefer == BlockPreference::Centroid && scan.centroid_params);
  if (profile_first && scan.profile_params && (scan.profile_params->point_count > 0 || !scan.centroid_params)) {
    return {BlockKind::Profile, scan.profile_params->point_count, &*scan.profile_params};
  }
  if (scan.centroid_params) return {BlockKind::Centroid, scan.centroid_params->point_count, &*scan.centroid_params};
  return {};
}

Result<lumora::SpectrumRecord> Reader::spectrum(std::size_t index, BlockPreference prefer) const {
  auto result = internal::decode_spectrum(*this, index, prefer);
  if (!result) return fail(internal::report_failure(*this, std::move(result).error()));
  return result;
}

namespace internal {

Result<lumora::SpectrumRecord> decode_spectrum(const Reader& reader, std::size_t index, BlockPreference prefer) {
  ArraySink sink;
  VELORIUM_TRY(const lumora::ScanMode mode, decode_blocks(reader, index, prefer, sink));
  raw::Peaks peaks = std::move(sink).take();
  return record_without_peaks(reader, index, mode).with_peaks(std::move(peaks.mz), std::move(peaks.intensity));
}

Result<lumora::SpectrumRecord> decode_spectrum_into(const Reader& reader, std::size_t index, BlockPreference prefer,
                                                    std::span<double> mz, std::span<float> intensity,
                                                    DecodeScratch& scratch) {
  SpanSink sink(raw::PeakSpans{mz, intensity}, scratch.buffers());
  VELORIUM_TRY(const lumora::ScanMode mode, decode_blocks(reader, index, prefer, sink));
  return record_without_peaks(reader, index, mode);
}

Error report_failure(const Reader& reader, Error failure) {
  const Error::Scan* scan = failure.as_scan();
  if (scan == nullptr) return failure;  // not a block's failure: nothing to count
  const BlockKind kind = scan->block == kCentroid ? BlockKind::Centroid : BlockKind::Profile;
  const std::string_view block = block_kind_name(kind);
  const std::string_view label = reader.source_file_name();
  if (ReaderAccess::failures(reader, kind).increment() == 0) {
    VELORIUM_LOG(log::Level::Warn, log::kReaderTarget, label, ": ", block, " block for scanId=", scan->scan_id,
                 " failed to decode: ", scan->source->display(), " (further ", block,
                 " failures in this bundle are logged at debug level)");
  } else {
    VELORIUM_LOG(log::Level::Debug, log::kReaderTarget, label, ": ", block, " block for scanId=", scan->scan_id,
                 " failed to decode: ", scan->source->display());
  }
  return failure;
}

DataFileSizes data_file_sizes(const Reader& reader) {
  return {raw::file_size(ReaderAccess::path_of(reader, BlockKind::Profile)),
          raw::file_size(ReaderAccess::path_of(reader, BlockKind::Centroid))};
}

std::uint32_t justified_points(const Reader& reader, std::size_t index, BlockPreference prefer,
                               const DataFileSizes& sizes) noexcept {
  const BlockPlan plan = reader.block_plan(index, prefer);
  if (plan.point_count == 0) return 0;
  const SpectrumParams& params = *plan.params;
  const std::optional<std::uint64_t> size = plan.kind == BlockKind::Profile ? sizes.profile : sizes.peak;
  if (!size || params.offset > *size || params.byte_count > *size - params.offset) return 0;
  const bool calibrated = ReaderAccess::calibration(reader, index) != nullptr;
  const bool backed = plan.kind == BlockKind::Profile
                          ? calibrated && raw::msprofile::descriptor_backs_points(params)
                          : raw::mspeak::descriptor_backs_points(params, calibrated);
  return backed ? plan.point_count : 0;
}

}  // namespace internal
}  // namespace velorium

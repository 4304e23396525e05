#include "velorium/reader.hpp"

#include <map>
#include <utility>
#include <vector>

#include "velorium/chromatograms.hpp"
#include "velorium/log.hpp"
#include "velorium/raw/calibrations.hpp"
#include "velorium/raw/decode_scratch.hpp"
#include "velorium/raw/fileio.hpp"
#include "velorium/raw/instrument.hpp"
#include "velorium/raw/metadata.hpp"
#include "velorium/raw/mspeak.hpp"
#include "velorium/raw/msprofile.hpp"
#include "velorium/raw/msscan.hpp"
#include "velorium/raw/run_label.hpp"
#include "velorium/text.hpp"

namespace velorium {
namespace {

using lumora::CvTerm;

constexpr CvTerm kSourceFileFormat = CvTerm::constant("MS:1001509", "Agilent MassHunter format");
constexpr CvTerm kNativeIdFormat = CvTerm::constant("MS:1001508", "Agilent MassHunter nativeID format");

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

// The spectrum sequence: one scan decoded per step, in file order.
class SpectrumSequence final : public lumora::SpectrumIterator {
 public:
  explicit SpectrumSequence(const Reader& reader) noexcept : reader_(reader) {}

  std::optional<lumora::SpectrumItem> next() override {
    if (position_ >= reader_.scan_count()) return std::nullopt;
    auto result = reader_.spectrum(position_++);
    if (!result) return lumora::SpectrumItem(std::unexpect, to_core(std::move(result).error()));
    return lumora::SpectrumItem(std::move(*result));
  }

  std::size_t remaining() const noexcept override { return reader_.scan_count() - position_; }

 private:
  const Reader& reader_;
  std::size_t position_ = 0;
};

// Items computed in full when the sequence is made, handed out in order.
class ChromatogramSequence final : public lumora::ChromatogramIterator {
 public:
  explicit ChromatogramSequence(std::vector<lumora::ChromatogramItem> items) noexcept : items_(std::move(items)) {}

  std::optional<lumora::ChromatogramItem> next() override {
    if (position_ >= items_.size()) return std::nullopt;
    return std::move(items_[position_++]);
  }
  std::size_t remaining() const noexcept override { return items_.size() - position_; }

 private:
  std::vector<lumora::ChromatogramItem> items_;
  std::size_t position_ = 0;
};

// One warning for the whole run listing the polarity codes other than 0
// and 1 with their scan counts.
void warn_unknown_polarity(const ScanIndex& scans, std::string_view label) {
  std::map<std::int32_t, std::uint64_t> counts;
  for (const auto& scan : scans.records) {
    if (!scan.polarity()) ++counts[scan.ion_polarity];
  }
  if (counts.empty() || !log::enabled(log::Level::Warn)) return;
  std::string map = "{";
  for (const auto& [value, count] : counts) {
    if (map.size() > 1) map.append(", ");
    map.append(text::cat(value, ": ", count));
  }
  map.push_back('}');
  VELORIUM_LOG(log::Level::Warn, log::kReaderTarget, label, ": unrecognized IonPolarity values (value: scans) ", map,
               "; polarity left unset for those scans");
}

}  // namespace

Result<Reader> Reader::open(const std::filesystem::path& path) {
  Reader reader;
  reader.root_ = path;
  const std::filesystem::path acqdata = path / "AcqData";
  if (!raw::exists(acqdata)) return parse_error("AcqData directory not found");
  VELORIUM_TRY(reader.scan_index_, raw::msscan::from_path(acqdata / "MSScan.bin"));
  reader.source_file_name_ = raw::run_label(path);
  reader.device_ = raw::metadata::parse_devices_xml(acqdata / "Devices.xml");
  reader.instrument_ = raw::resolve_instrument(reader.device_, reader.scan_index_);
  reader.analyzer_ = raw::resolve_analyzer(reader.device_, reader.scan_index_);
  reader.acquired_time_ = raw::metadata::parse_acquired_time(acqdata / "Contents.xml");
  reader.calibrations_ = std::make_shared<const raw::CalibrationList>(
      raw::load_calibrations(acqdata, reader.scan_index_, reader.source_file_name_));
  warn_unknown_polarity(reader.scan_index_, reader.source_file_name_);
  reader.peak_path_ = acqdata / "MSPeak.bin";
  reader.profile_path_ = acqdata / "MSProfile.bin";
  return reader;
}

std::string_view block_kind_name(BlockKind kind) noexcept {
  return kind == BlockKind::Centroid ? kCentroid : kProfile;
}

std::optional<CalibrationSource> Reader::calibration_source(std::size_t index) const noexcept {
  const raw::calibration::TofCalibration* calibration = calibrations_->at_scan(index);
  if (calibration == nullptr) return std::nullopt;
  return calibration->source;
}

DecodeResult Reader::decode_spectrum(std::size_t index, BlockPreference prefer) const {
  const ScanRecord& scan = scan_index_.records[index];
  const raw::calibration::TofCalibration* calibration = calibrations_->at_scan(index);
  const auto failed = [&](BlockKind kind, Error error) {
    return std::unexpected<BlockFailure>(BlockFailure{kind, scan.scan_id, std::move(error)});
  };

  raw::Peaks peaks;
  lumora::ScanMode mode = lumora::ScanMode::Centroid;
  bool decoded = false;
  const bool profile_first = !(prefer == BlockPreference::Centroid && scan.centroid_params);
  if (profile_first && scan.profile_params) {
    const SpectrumParams& params = *scan.profile_params;
    if (calibration == nullptr) {
      return failed(BlockKind::Profile, Error::parse("profile block has no mass calibration"));
    }
    auto bytes = raw::read_bytes(profile_path_, params.offset, params.byte_count);
    if (!bytes) return failed(BlockKind::Profile, std::move(bytes).error());
    auto profile = raw::msprofile::decode_profile_block(*bytes, params, *calibration);
    bytes = raw::ByteBuffer();
    if (!profile) return failed(BlockKind::Profile, std::move(profile).error());
    if (!profile->mz.empty() || !scan.centroid_params) {
      peaks = std::move(*profile);
      mode = lumora::ScanMode::Profile;
      decoded = true;
    }
  }
  if (!decoded && scan.centroid_params) {
    const SpectrumParams& params = *scan.centroid_params;
    auto bytes = raw::read_bytes(peak_path_, params.offset, params.byte_count);
    if (!bytes) return failed(BlockKind::Centroid, std::move(bytes).error());
    auto centroids = raw::mspeak::decode_peak_block(*bytes, params, calibration);
    if (!centroids) return failed(BlockKind::Centroid, std::move(centroids).error());
    peaks = std::move(*centroids);
    mode = lumora::ScanMode::Centroid;
  }

  return std::move(record_without_peaks(index, mode)).with_peaks(std::move(peaks.mz), std::move(peaks.intensity));
}

lumora::SpectrumRecord Reader::record_without_peaks(std::size_t index, lumora::ScanMode mode) const {
  const ScanRecord& scan = scan_index_.records[index];
  lumora::SpectrumRecord record;
  record.index = index;
  record.scan_number = scan.scan_id;
  record.native_id = text::cat("scanId=", scan.scan_id);
  record.ms_level = scan.ms_level;
  record.polarity = scan.polarity();
  record.scan_mode = mode;
  record.analyzer = analyzer_;
  record.retention_time_sec = scan.retention_time_sec();
  record.reported_total_ion_current = scan.tic;
  record.reported_base_peak_mz = scan.base_peak_mz;
  record.reported_base_peak_intensity = scan.base_peak_intensity;
  record.low_mz = scan.min_x;
  record.high_mz = scan.max_x;
  record.precursor = precursor_of(scan);
  return std::move(record).with_extra_map(spectrum_extra(scan));
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

DecodeResult Reader::decode_spectrum_into(std::size_t index, BlockPreference prefer, std::span<double> mz,
                                          std::span<float> intensity, DecodeScratch& scratch) const {
  const raw::PeakSpans out{mz, intensity};
  const ScanRecord& scan = scan_index_.records[index];
  const raw::calibration::TofCalibration* calibration = calibrations_->at_scan(index);
  const auto failed = [&](BlockKind kind, Error error) {
    return std::unexpected<BlockFailure>(BlockFailure{kind, scan.scan_id, std::move(error)});
  };
  const BlockPlan plan = block_plan(index, prefer);
  const bool profile_first = !(prefer == BlockPreference::Centroid && scan.centroid_params);
  if (profile_first && scan.profile_params) {
    // Read even when empty: an empty profile block must still decode before
    // the centroid block is taken.
    const SpectrumParams& params = *scan.profile_params;
    if (calibration == nullptr) {
      return failed(BlockKind::Profile, Error::parse("profile block has no mass calibration"));
    }
    auto bytes = raw::read_bytes(profile_path_, params.offset, params.byte_count, scratch.block);
    if (!bytes) return failed(BlockKind::Profile, std::move(bytes).error());
    const raw::PeakSpans room = plan.kind == BlockKind::Profile ? out : raw::PeakSpans{};
    auto decoded =
        raw::msprofile::decode_profile_block_into(*bytes, params, *calibration, room, scratch.unpacked, &scratch.axes);
    scratch.unpacked.trim();
    scratch.block.trim();
    if (!decoded) return failed(BlockKind::Profile, std::move(decoded).error());
    if (plan.kind == BlockKind::Profile) return record_without_peaks(index, lumora::ScanMode::Profile);
  }
  if (scan.centroid_params) {
    const SpectrumParams& params = *scan.centroid_params;
    auto bytes = raw::read_bytes(peak_path_, params.offset, params.byte_count, scratch.block);
    if (!bytes) return failed(BlockKind::Centroid, std::move(bytes).error());
    auto decoded = raw::mspeak::decode_peak_block_into(*bytes, params, calibration, out);
    scratch.block.trim();
    if (!decoded) return failed(BlockKind::Centroid, std::move(decoded).error());
  }
  return record_without_peaks(index, lumora::ScanMode::Centroid);
}

Result<lumora::SpectrumRecord> Reader::spectrum(std::size_t index, BlockPreference prefer) const {
  auto result = decode_spectrum(index, prefer);
  if (!result) return fail(report_failure(std::move(result).error()));
  return std::move(*result);
}

Error Reader::report_failure(BlockFailure failure) const {
  const std::string_view block = block_kind_name(failure.kind);
  auto& counter = failure.kind == BlockKind::Centroid ? centroid_failures_ : profile_failures_;
  const std::uint64_t previous = counter.increment();
  if (previous == 0) {
    VELORIUM_LOG(log::Level::Warn, log::kReaderTarget, source_file_name_, ": ", block, " block for scanId=",
                 failure.scan_id, " failed to decode: ", failure.error.display(), " (further ", block,
                 " failures in this bundle are logged at debug level)");
  } else {
    VELORIUM_LOG(log::Level::Debug, log::kReaderTarget, source_file_name_, ": ", block, " block for scanId=",
                 failure.scan_id, " failed to decode: ", failure.error.display());
  }
  return Error::scan(failure.scan_id, block, std::move(failure.error));
}

std::unique_ptr<lumora::SpectrumIterator> Reader::iter_spectra() const {
  return std::make_unique<SpectrumSequence>(*this);
}

lumora::RunMetadata Reader::run_metadata() const {
  lumora::TextMap extra;
  extra.insert_or_assign("velorium.msscan_header_size", text::cat(scan_index_.global_header_size));
  extra.insert_or_assign("velorium.msscan_stride", text::cat(scan_index_.stride));
  if (device_) {
    extra.insert_or_assign("velorium.device_name", device_->name);
    extra.insert_or_assign("velorium.device_model", device_->model);
  }
  lumora::RunMetadata meta = lumora::RunMetadata::make(source_file_name_, kSourceFileFormat, kNativeIdFormat,
                                                       instrument_, std::string(kSoftwareName),
                                                       std::string(kSoftwareVersion));
  meta.start_timestamp = acquired_time_;
  return std::move(meta).with_extra_map(std::move(extra));
}

std::unique_ptr<lumora::ChromatogramIterator> Reader::iter_chromatograms() const {
  SpectrumSequence spectra(*this);
  ChromatogramBuilder builder;
  std::vector<lumora::ChromatogramItem> items;
  while (auto item = spectra.next()) {
    if (!*item) {
      items.emplace_back(std::unexpect, std::move(*item).error());
      return std::make_unique<ChromatogramSequence>(std::move(items));
    }
    builder.add(**item);
  }
  for (auto& chromatogram : std::move(builder).finish()) items.emplace_back(std::move(chromatogram));
  return std::make_unique<ChromatogramSequence>(std::move(items));
}

std::string run_label(const std::filesystem::path& root) { return raw::run_label(root); }

}  // namespace velorium

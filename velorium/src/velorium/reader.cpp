#include "velorium/reader.hpp"

#include <map>
#include <utility>
#include <vector>

#include "velorium/chromatograms.hpp"
#include "velorium/log.hpp"
#include "velorium/raw/calibrations.hpp"
#include "velorium/raw/fileio.hpp"
#include "velorium/raw/instrument.hpp"
#include "velorium/raw/metadata.hpp"
#include "velorium/raw/msscan.hpp"
#include "velorium/text.hpp"

namespace velorium {
namespace {

using lumora::CvTerm;

constexpr CvTerm kSourceFileFormat = CvTerm::constant("MS:1001509", "Agilent MassHunter format");
constexpr CvTerm kNativeIdFormat = CvTerm::constant("MS:1001508", "Agilent MassHunter nativeID format");

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
  reader.source_file_name_ = run_label(path);
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

std::optional<CalibrationSource> Reader::calibration_source(std::size_t index) const noexcept {
  const raw::calibration::TofCalibration* calibration = calibrations_->at_scan(index);
  if (calibration == nullptr) return std::nullopt;
  return calibration->source;
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

std::string run_label(const std::filesystem::path& root) {
  const std::string_view path = root.native();
  // Split into components as the platform does: repeated and trailing
  // separators vanish, and so does every "." but a leading one.
  std::string_view last;
  bool has_last = false;
  bool last_is_plain = false;
  if (!path.empty() && path.front() == '/') {
    has_last = true;  // the root directory
    last_is_plain = false;
  }
  std::size_t pos = 0;
  bool first = true;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty()) continue;
    if (part == "." && !(first && path.front() != '/')) continue;
    first = false;
    last = part;
    has_last = true;
    last_is_plain = part != "." && part != "..";
  }
  if (!has_last || !last_is_plain) return "bundle.d";
  return text::lossy_utf8(last);
}

}  // namespace velorium

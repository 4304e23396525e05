#include "velorium/raw/msscan.hpp"

#include <limits>

#include "velorium/raw/fileio.hpp"
#include "velorium/text.hpp"

namespace velorium::raw::msscan {
namespace {

std::optional<double> f64_at(const std::uint8_t* record, FieldOffset offset) noexcept {
  if (!offset) return std::nullopt;
  return load_le<double>(record + *offset);
}

void apply_descriptor(ScanRecord& scan, const std::uint8_t* d, bool compact) noexcept {
  SpectrumParams params;
  std::size_t pos;
  if (compact) {
    params.format_id = load_le<std::uint16_t>(d);
    pos = 2;
  } else {
    params.format_id = load_le<std::uint32_t>(d);
    pos = 4;
  }
  params.offset = load_le<std::uint64_t>(d + pos);
  params.byte_count = load_le<std::uint32_t>(d + pos + 8);
  params.point_count = load_le<std::uint32_t>(d + pos + 12);
  if (params.format_id == 1) {
    params.uncompressed_byte_count = load_le<std::uint32_t>(d + pos + 16);
    scan.profile_params = params;
  } else if (params.format_id == 2 || params.format_id == 3) {
    scan.centroid_params = params;
  }
}

ScanRecord decode_record(const std::uint8_t* r, const Layout& layout) noexcept {
  ScanRecord scan;
  scan.scan_id = load_le<std::uint32_t>(r + kScanIdAt);
  scan.retention_time_min = load_le<double>(r + kRetentionTimeAt);
  scan.ms_level = load_le<std::uint16_t>(r + kMsLevelAt);
  if (layout.mrm_channel_id) scan.mrm_channel_id = load_le<std::uint32_t>(r + *layout.mrm_channel_id);
  scan.tic = f64_at(r, layout.tic);
  scan.base_peak_mz = f64_at(r, layout.base_peak_mz);
  scan.base_peak_intensity = f64_at(r, layout.base_peak_intensity);
  if (layout.calibration_id) scan.calibration_id = load_le<std::int32_t>(r + *layout.calibration_id);
  scan.ion_polarity = layout.polarity_is_i16 ? load_le<std::int16_t>(r + layout.ion_polarity)
                                             : load_le<std::int32_t>(r + layout.ion_polarity);
  if (scan.ms_level >= 2) {
    scan.collision_energy = f64_at(r, layout.collision_energy);
    scan.target_mz = f64_at(r, layout.target_mz);
  }
  for (const FieldOffset descriptor : layout.descriptors) {
    if (descriptor) apply_descriptor(scan, r + *descriptor, layout.compact_descriptor);
  }
  scan.min_x = f64_at(r, layout.min_x);
  scan.max_x = f64_at(r, layout.max_x);
  return scan;
}

// A second record is plausible when its id follows the first one's within
// the id limit and its MS level is 1 or 2.
bool plausible_second(ByteSpan payload, std::uint32_t stride, std::uint32_t first_id,
                      std::uint32_t id_limit) noexcept {
  const auto second_id = load_le<std::uint32_t>(payload, stride);
  const auto second_level = load_le<std::uint16_t>(payload, stride + kMsLevelAt);
  return second_id > first_id && second_id < id_limit && (second_level == 1 || second_level == 2);
}

const Layout* infer_layout(ByteSpan payload) noexcept {
  const std::uint64_t len = payload.size();
  const auto first_id = load_le<std::uint32_t>(payload, 0);
  const std::uint64_t limit = std::uint64_t{first_id} + 100000;
  const auto id_limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, 4294967295u));
  for (const Layout& layout : kLayouts) {
    if (len % layout.stride != 0) continue;
    if (len == layout.stride || plausible_second(payload, layout.stride, first_id, id_limit)) return &layout;
  }
  return nullptr;
}

}  // namespace

Result<ScanIndex> from_bytes(ByteSpan bytes) {
  if (bytes.size() < kMinFileSize) return parse_error("MSScan.bin too small for header");
  const auto magic = load_le<std::uint32_t>(bytes, 0);
  if (magic != kMagic) return parse_error(text::cat("Invalid MSScan magic: ", magic));
  const auto header_size = load_le<std::uint32_t>(bytes, 88);
  if (header_size > bytes.size()) return parse_error("MSScan.bin truncated header");
  const ByteSpan payload = bytes.subspan(header_size);
  const Layout* layout = payload.size() < 4 ? nullptr : infer_layout(payload);
  if (layout == nullptr) {
    return parse_error(text::cat("Cannot determine record stride for payload len ", payload.size()));
  }

  ScanIndex scan_index;
  scan_index.global_header_size = header_size;
  scan_index.stride = layout->stride;
  const std::size_t count = payload.size() / layout->stride;
  scan_index.records.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    scan_index.records.push_back(decode_record(payload.data() + i * layout->stride, *layout));
  }
  return scan_index;
}

Result<ScanIndex> from_path(const std::filesystem::path& path) {
  VELORIUM_TRY(const std::vector<std::uint8_t> bytes, read_file(path));
  return from_bytes(bytes);
}

}  // namespace velorium::raw::msscan

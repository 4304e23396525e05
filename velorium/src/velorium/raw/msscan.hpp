// The scan index of an acquisition (AcqData/MSScan.bin): one fixed-size
// record per scan in one of five layouts, told apart by the record size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "velorium/error.hpp"
#include "velorium/raw/bytes.hpp"
#include "velorium/scan_index.hpp"

namespace velorium::raw::msscan {

inline constexpr std::uint32_t kMagic = 257;
inline constexpr std::size_t kMinFileSize = 92;

// Byte offset of a field within a record; absent where a layout does not
// carry the field.
using FieldOffset = std::optional<std::uint16_t>;

// Offsets of the fields common to every layout.
inline constexpr std::size_t kScanIdAt = 0;           // u32
inline constexpr std::size_t kRetentionTimeAt = 12;   // f64, minutes
inline constexpr std::size_t kMsLevelAt = 20;         // u16

// One record layout. The record size (the stride) tells the layouts apart.
struct Layout {
  std::uint32_t stride = 0;
  // Time-of-flight layouts carry calibration identifiers and the recorded
  // TIC and base peak; the others are triple-quadrupole layouts.
  bool time_of_flight = false;
  FieldOffset mrm_channel_id;       // u32
  FieldOffset tic;                  // f64
  FieldOffset base_peak_mz;         // f64
  FieldOffset base_peak_intensity;  // f64
  FieldOffset calibration_id;       // i32
  std::uint16_t ion_polarity = 0;   // i32, or i16 where polarity_is_i16
  bool polarity_is_i16 = false;
  FieldOffset collision_energy;     // f64, read from MS level 2 on
  FieldOffset target_mz;            // f64, read from MS level 2 on
  // Block descriptors: format id (u32, or u16 where compact_descriptor),
  // then offset u64, byte count u32, point count u32 and, for a profile
  // block, the uncompressed byte count u32.
  std::array<FieldOffset, 2> descriptors;
  bool compact_descriptor = false;
  FieldOffset min_x;  // f64
  FieldOffset max_x;  // f64
};

// Every layout, in the order in which they are tried.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // unnamed fields are absent on purpose
inline constexpr std::array<Layout, 5> kLayouts{{
    {.stride = 284, .time_of_flight = true, .tic = 28, .base_peak_mz = 36, .base_peak_intensity = 44,
     .calibration_id = 52, .ion_polarity = 64, .collision_energy = 76, .target_mz = 84, .descriptors = {156, 220},
     .min_x = 244, .max_x = 252},
    {.stride = 220, .time_of_flight = true, .tic = 28, .base_peak_mz = 36, .base_peak_intensity = 44,
     .calibration_id = 52, .ion_polarity = 64, .collision_energy = 76, .target_mz = 84, .descriptors = {156}},
    {.stride = 216, .time_of_flight = true, .tic = 28, .base_peak_mz = 36, .base_peak_intensity = 44,
     .calibration_id = 52, .ion_polarity = 64, .collision_energy = 76, .target_mz = 84, .descriptors = {152}},
    {.stride = 196, .mrm_channel_id = 4, .ion_polarity = 64, .descriptors = {144}},
    {.stride = 186, .mrm_channel_id = 4, .ion_polarity = 62, .polarity_is_i16 = true, .descriptors = {136},
     .compact_descriptor = true},
}};
#pragma GCC diagnostic pop

// The record sizes of kLayouts, in the same order.
inline constexpr std::array<std::uint32_t, kLayouts.size()> kStrides = [] {
  std::array<std::uint32_t, kLayouts.size()> strides{};
  for (std::size_t i = 0; i < kLayouts.size(); ++i) strides[i] = kLayouts[i].stride;
  return strides;
}();

// The layout with this record size, or null.
constexpr const Layout* layout_of_stride(std::uint32_t stride) noexcept {
  for (const Layout& layout : kLayouts) {
    if (layout.stride == stride) return &layout;
  }
  return nullptr;
}

constexpr bool is_tof_stride(std::uint32_t stride) noexcept {
  const Layout* layout = layout_of_stride(stride);
  return layout != nullptr && layout->time_of_flight;
}

// Decodes a complete file image. Pure.
Result<ScanIndex> from_bytes(ByteSpan bytes);
// Reads the whole file once and decodes it.
Result<ScanIndex> from_path(const std::filesystem::path& path);

}  // namespace velorium::raw::msscan

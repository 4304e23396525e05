// Builds small acquisition folders for the reader tests: MSScan.bin in the
// 284-byte (time-of-flight, two descriptors) or 196-byte (triple
// quadrupole) layout, data files with literal-only LZF, run-length and
// peak blocks, and the XML side files.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace velorium::testing {

struct Block {
  std::uint32_t format_id = 0;
  std::uint64_t offset = 0;
  std::uint32_t byte_count = 0;
  std::uint32_t point_count = 0;
  std::uint32_t uncompressed_byte_count = 0;
};

struct TestScan {
  std::uint32_t scan_id = 1;
  double retention_time_min = 0.0;
  std::uint16_t ms_level = 1;
  std::int32_t ion_polarity = 0;
  std::int32_t calibration_id = 1;
  double tic = 0, base_peak_mz = 0, base_peak_intensity = 0;
  double collision_energy = 0, target_mz = 0;
  std::uint32_t mrm_channel_id = 0;
  std::optional<Block> profile;   // descriptor at 220 (stride 284)
  std::optional<Block> centroid;  // descriptor at 156 (stride 284) or 144 (stride 196)
};

inline void put_descriptor(Bytes& record, std::size_t at, const Block& b) {
  record.set(at, b.format_id).set(at + 4, b.offset).set(at + 12, b.byte_count).set(at + 16, b.point_count);
  record.set(at + 20, b.uncompressed_byte_count);
}

inline Bytes msscan_image(const std::vector<TestScan>& scans, std::uint32_t stride) {
  Bytes file(92);
  file.set<std::uint32_t>(0, 257).set<std::uint32_t>(88, 92);
  for (const TestScan& s : scans) {
    Bytes r(stride);
    r.set(0, s.scan_id).set(12, s.retention_time_min).set(20, s.ms_level).set(64, s.ion_polarity);
    if (stride == 284) {
      r.set(28, s.tic).set(36, s.base_peak_mz).set(44, s.base_peak_intensity).set(52, s.calibration_id);
      r.set(76, s.collision_energy).set(84, s.target_mz);
      if (s.centroid) put_descriptor(r, 156, *s.centroid);
      if (s.profile) put_descriptor(r, 220, *s.profile);
    } else {
      r.set(4, s.mrm_channel_id);
      if (s.centroid) put_descriptor(r, 144, *s.centroid);
      else if (s.profile) put_descriptor(r, 144, *s.profile);
    }
    file.append(r.vec());
  }
  return file;
}

// An LZF stream of literal runs only: any bytes, no compression.
inline std::vector<std::uint8_t> lzf_literals(const std::vector<std::uint8_t>& raw) {
  std::vector<std::uint8_t> out;
  for (std::size_t pos = 0; pos < raw.size(); pos += 32) {
    const std::size_t n = std::min<std::size_t>(32, raw.size() - pos);
    out.push_back(static_cast<std::uint8_t>(n - 1));
    out.insert(out.end(), raw.begin() + static_cast<long>(pos), raw.begin() + static_cast<long>(pos + n));
  }
  return out;
}

// A profile block (LZF of the axis header and i32 intensities).
inline std::vector<std::uint8_t> lzf_profile(double x0, double dx, const std::vector<std::int32_t>& intensities) {
  Bytes raw;
  raw.f64(x0).f64(dx);
  for (const auto v : intensities) raw.i32(v);
  return lzf_literals(raw.vec());
}

// A format-3 centroid block.
inline std::vector<std::uint8_t> format3_block(const std::vector<std::pair<double, float>>& peaks) {
  Bytes b;
  for (const auto& [mz, intensity] : peaks) b.f64(mz).f32(intensity);
  return b.vec();
}

// A format-2 centroid block: flight times, then intensities.
inline std::vector<std::uint8_t> format2_block(const std::vector<std::pair<double, float>>& peaks) {
  Bytes b;
  for (const auto& peak : peaks) b.f64(peak.first);
  for (const auto& peak : peaks) b.f32(peak.second);
  return b.vec();
}

// Appends blocks to a data file image and returns their descriptors.
class DataFile {
 public:
  Block add(std::uint32_t format_id, const std::vector<std::uint8_t>& block, std::uint32_t points,
            std::uint32_t uncompressed = 0) {
    Block d{format_id, bytes_.size(), static_cast<std::uint32_t>(block.size()), points, uncompressed};
    bytes_.append(block);
    return d;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

// DefaultMassCal.xml with one entry per (id, A, T0) and no polynomial terms.
inline std::string default_masscal(const std::vector<std::tuple<int, double, double>>& entries) {
  std::string xml = "<?xml version=\"1.0\"?>\n<DefaultMassCal>\n";
  for (const auto& [id, a, t0] : entries) {
    xml += "<DefaultCalibration DefaultCalibrationID=\"" + std::to_string(id) + "\">";
    xml += "<Step><CalibrationFormula>Traditional</CalibrationFormula><ValueUseFlags>0</ValueUseFlags>"
           "<NumberOfCoefficients>2</NumberOfCoefficients><Values>";
    xml += "<Value Number=\"1\">" + text::display_f64(a) + "</Value>";
    xml += "<Value Number=\"2\">" + text::display_f64(t0) + "</Value></Values></Step>";
    xml += "<Step><CalibrationFormula>Polynomial</CalibrationFormula><ValueUseFlags>0</ValueUseFlags>"
           "<NumberOfCoefficients>8</NumberOfCoefficients><Values>";
    xml += "<Value Number=\"1\">0</Value><Value Number=\"2\">1000000</Value>";
    for (int k = 3; k <= 8; ++k) xml += "<Value Number=\"" + std::to_string(k) + "\">0</Value>";
    xml += "</Values></Step></DefaultCalibration>\n";
  }
  xml += "</DefaultMassCal>\n";
  return xml;
}

inline std::string devices_xml(std::string_view name, std::string_view model) {
  return std::string("<Devices><Device><Name>") + std::string(name) + "</Name><ModelNumber>" + std::string(model) +
         "</ModelNumber></Device></Devices>";
}

}  // namespace velorium::testing

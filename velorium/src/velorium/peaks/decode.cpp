#include "velorium/peaks/decode.hpp"

#include <utility>
#include <vector>

#include "velorium/internal/decoding.hpp"

namespace velorium {

namespace internal {

Result<lumora::SpectrumRecord> decode_spectrum(const Reader& reader, std::size_t index,
                                               const peaks::DecodeOptions& options) {
  using peaks::PickMode;
  auto decoded = internal::decode_spectrum(reader, index, options.block_preference());
  if (!decoded || options.pick == PickMode::None || decoded->scan_mode != lumora::ScanMode::Profile) return decoded;
  if (auto picked = peaks::pick_spectrum(*decoded, options.params); !picked) {
    return fail(Error::scan(reader.scan(index).scan_id, block_kind_name(BlockKind::Profile), std::move(picked).error()));
  }
  return decoded;
}

}  // namespace internal

namespace peaks {

Result<void> pick_spectrum(lumora::SpectrumRecord& spectrum, const PickParams& params) {
  std::vector<double> mz;
  std::vector<float> intensity;
  VELORIUM_CHECK(pick(spectrum.mz, spectrum.intensity, params, mz, intensity));
  mz.shrink_to_fit();
  intensity.shrink_to_fit();
  spectrum.mz = std::move(mz);
  spectrum.intensity = std::move(intensity);
  spectrum.scan_mode = lumora::ScanMode::Centroid;
  return {};
}

Result<lumora::SpectrumRecord> spectrum(const Reader& reader, std::size_t index, const DecodeOptions& options) {
  auto decoded = internal::decode_spectrum(reader, index, options);
  if (!decoded) return fail(internal::report_failure(reader, std::move(decoded).error()));
  return decoded;
}

}  // namespace peaks
}  // namespace velorium

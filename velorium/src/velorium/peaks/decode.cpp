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
  std::vector<double> mz;
  std::vector<float> intensity;
  if (auto picked = peaks::pick(decoded->mz, decoded->intensity, options.params, mz, intensity); !picked) {
    return fail(Error::scan(reader.scan(index).scan_id, block_kind_name(BlockKind::Profile), std::move(picked).error()));
  }
  mz.shrink_to_fit();
  intensity.shrink_to_fit();
  decoded->scan_mode = lumora::ScanMode::Centroid;
  return std::move(*decoded).with_peaks(std::move(mz), std::move(intensity));
}

}  // namespace internal

namespace peaks {

Result<lumora::SpectrumRecord> spectrum(const Reader& reader, std::size_t index, const DecodeOptions& options) {
  auto decoded = internal::decode_spectrum(reader, index, options);
  if (!decoded) return fail(internal::report_failure(reader, std::move(decoded).error()));
  return decoded;
}

}  // namespace peaks
}  // namespace velorium

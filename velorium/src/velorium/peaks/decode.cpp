#include "velorium/peaks/decode.hpp"

#include <utility>
#include <vector>

namespace velorium::peaks {

DecodeResult decode_spectrum(const Reader& reader, std::size_t index, const DecodeOptions& options) {
  DecodeResult decoded = reader.decode_spectrum(index, options.block_preference());
  if (!decoded || options.pick == PickMode::None || decoded->scan_mode != lumora::ScanMode::Profile) return decoded;
  std::vector<double> mz;
  std::vector<float> intensity;
  if (auto picked = pick(decoded->mz, decoded->intensity, options.params, mz, intensity); !picked) {
    return std::unexpected(BlockFailure{BlockKind::Profile, reader.scan(index).scan_id, std::move(picked).error()});
  }
  mz.shrink_to_fit();
  intensity.shrink_to_fit();
  decoded->scan_mode = lumora::ScanMode::Centroid;
  return std::move(*decoded).with_peaks(std::move(mz), std::move(intensity));
}

}  // namespace velorium::peaks

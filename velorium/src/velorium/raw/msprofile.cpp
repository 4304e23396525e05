#include "velorium/raw/msprofile.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "velorium/raw/lzf.hpp"
#include "velorium/text.hpp"

namespace velorium::raw::msprofile {
namespace {

constexpr std::size_t kStreamHeaderSize = 8;  // marker and start field

// A point count beyond the run-length cap also claims more decoded bytes
// than LZF expands to, so that cap bounds both encodings.
static_assert(kAxisHeaderBytes + kBytesPerPoint * (std::uint64_t{kMaxRunLengthPoints} + 1) >
              lzf::kMaxDecompressedLength);

struct Axis {
  double x0;
  double dx;

  static Axis read(const std::uint8_t* p) noexcept { return {load_le<double>(p), load_le<double>(p + 8)}; }
  bool valid() const noexcept { return std::isfinite(x0) && std::isfinite(dx) && dx > 0.0; }
};

// Sign-extended little-endian word of 1, 2, 4 or 8 bytes.
inline std::int64_t load_word(const std::uint8_t* p, std::size_t width) noexcept {
  switch (width) {
    case 1:
      return load_le<std::int8_t>(p);
    case 2:
      return load_le<std::int16_t>(p);
    case 4:
      return load_le<std::int32_t>(p);
    default:
      return load_le<std::int64_t>(p);
  }
}

// The header of a run-length stream for `point_count` values: the size
// cap, the marker and the start field, checked before anything is
// allocated. Returns the first point the stream sets.
Result<std::uint64_t> run_length_start(ByteSpan stream, std::uint32_t point_count) {
  const std::uint64_t n = point_count;
  if (n > kMaxRunLengthPoints) {
    return parse_error(text::cat("run-length profile block of ", n, " points exceeds the size cap"));
  }
  if (stream.size() < kStreamHeaderSize || load_le<std::uint32_t>(stream, 0) != kRunLengthMarker) {
    return parse_error("run-length profile stream has no marker");
  }
  const std::int64_t start = -static_cast<std::int64_t>(load_le<std::int32_t>(stream, 4));
  if (start < 0 || static_cast<std::uint64_t>(start) > n) {
    return parse_error(text::cat("run-length profile stream starts at point ", start, " of ", n));
  }
  return static_cast<std::uint64_t>(start);
}

// Walks the words of a run-length stream whose header run_length_start
// accepted into `values` (n values, zero on entry), each data word passed
// through `convert`.
template <class T, class Convert>
Result<void> run_length_walk(ByteSpan stream, std::uint64_t n, std::uint64_t start, T* values, Convert convert) {
  const std::uint8_t* const base = stream.data();
  const std::size_t size = stream.size();
  std::size_t position = kStreamHeaderSize;
  std::size_t width = 4;
  std::uint64_t point = start;
  while (position != size) {
    if (width > size - position) {
      return parse_error(
          text::cat("run-length profile stream truncated: ", size - position, " bytes left at width ", width));
    }
    const std::int64_t word = load_word(base + position, width);
    position += width;
    if (word >= 0) {
      if (point >= n) return parse_error(text::cat("run-length profile stream sets point ", point, " of ", n));
      values[static_cast<std::size_t>(point)] = convert(word);
      ++point;
    } else {
      const std::uint64_t k = ~static_cast<std::uint64_t>(word);  // -word - 1, without overflow
      const std::uint64_t skip = k >> 2;
      // point <= n <= 2^27, so point + skip cannot wrap.
      if (skip > n - point) {
        return parse_error(
            text::cat("run-length profile stream skips ", skip, " points from point ", point, " of ", n));
      }
      point += skip;
      width = std::size_t{1} << (k & 3);
    }
  }
  return {};
}

// Walks a run-length stream into `point_count` values, zero where no data
// word sets a point, each data word passed through `convert`. The size cap,
// the marker and the start field are checked before the values are
// allocated.
template <class T, class Convert>
Result<std::vector<T>> run_length(ByteSpan stream, std::uint32_t point_count, Convert convert) {
  VELORIUM_TRY(const std::uint64_t start, run_length_start(stream, point_count));
  std::vector<T> values(point_count);
  VELORIUM_CHECK(run_length_walk(stream, point_count, start, values.data(), convert));
  return values;
}

// The calibration is applied once per point, in point order.
std::vector<double> mz_axis(const Axis& axis, std::uint32_t point_count,
                            const calibration::TofCalibration& calibration) {
  return build_array<double>(point_count, [&](double* out, std::size_t first, std::size_t count) {
    calibration.mz_at_axis(axis.x0, axis.dx, first, out, count);
  });
}

}  // namespace

Result<std::vector<std::int64_t>> decode_run_length(ByteSpan stream, std::uint32_t point_count) {
  return run_length<std::int64_t>(stream, point_count, [](std::int64_t word) { return word; });
}

namespace {

// The checks that come before either encoding is tried; true when the block
// holds no points.
Result<bool> check_header(const SpectrumParams& params) {
  if (!params.uncompressed_byte_count) return parse_error("Missing UncompressedByteCount for profile block");
  const std::uint32_t n = params.point_count;
  if (n == 0) return true;
  const std::uint64_t expected = *params.uncompressed_byte_count;
  const std::uint64_t needed = kAxisHeaderBytes + kBytesPerPoint * n;
  if (expected < needed) {
    return parse_error(
        text::cat("UncompressedByteCount ", expected, " too short for ", n, " points (needs ", needed, ")"));
  }
  return false;
}

}  // namespace

bool descriptor_backs_points(const SpectrumParams& params) noexcept {
  const std::uint64_t n = params.point_count;
  return params.uncompressed_byte_count && *params.uncompressed_byte_count >= kAxisHeaderBytes + kBytesPerPoint * n &&
         n <= kMaxRunLengthPoints;
}

namespace {

// The axis of a run-length block, or nothing when the block is to be read
// as LZF.
std::optional<Axis> run_length_axis(ByteSpan block) noexcept {
  if (block.size() >= kAxisHeaderBytes + 4 && load_le<std::uint32_t>(block, kAxisHeaderBytes) == kRunLengthMarker) {
    const Axis axis = Axis::read(block.data());
    if (axis.valid() && axis.x0 > 0.0) return axis;
  }
  return std::nullopt;
}

// Integer-to-float conversion rounds to nearest.
constexpr auto kToFloat = [](std::int64_t word) { return static_cast<float>(word); };

}  // namespace

Result<Peaks> decode_profile_block(ByteSpan block, const SpectrumParams& params,
                                   const calibration::TofCalibration& calibration) {
  VELORIUM_TRY(const bool empty, check_header(params));
  if (empty) return Peaks{};
  const std::uint32_t n = params.point_count;
  const std::uint64_t expected = *params.uncompressed_byte_count;

  if (const auto axis = run_length_axis(block)) {
    // Straight to f32: the same walk as decode_run_length without the
    // 64-bit intermediate.
    VELORIUM_TRY(auto intensity, run_length<float>(block.subspan(kAxisHeaderBytes), n, kToFloat));
    return Peaks{mz_axis(*axis, n, calibration), std::move(intensity)};
  }

  Axis axis{};
  std::vector<float> intensity;
  {
    VELORIUM_TRY(const ByteBuffer raw, lzf::decompress(block, expected));
    axis = Axis::read(raw.data());
    if (!axis.valid()) return parse_error(text::cat("invalid profile axis: x0=", axis.x0, ", dx=", axis.dx));
    const std::uint8_t* src = raw.data() + kAxisHeaderBytes;
    intensity = build_array<float>(n, [src](float* out, std::size_t first, std::size_t count) {
      for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<float>(load_le<std::int32_t>(src + 4 * (first + i)));
    });
  }  // the decompressed bytes are released before the m/z axis is built
  return Peaks{mz_axis(axis, n, calibration), std::move(intensity)};
}

void AxisCache::fill(const calibration::TofCalibration& calibration, double x0, double dx, std::span<double> out) {
  const std::size_t n = out.size();
  if (n > kMaxPoints) {
    calibration.mz_at_axis(x0, dx, 0, out.data(), n);
    return;
  }
  // Everything the axis depends on, bit for bit (so that -0.0 and 0.0, or
  // two NaNs, are told apart and never confused).
  std::vector<std::uint64_t> key;
  const auto bits = [&](double v) { key.push_back(std::bit_cast<std::uint64_t>(v)); };
  bits(calibration.a);
  bits(calibration.t0);
  bits(calibration.polynomial.range_low());
  bits(calibration.polynomial.range_high());
  key.push_back(calibration.polynomial.terms().size());
  for (const auto& term : calibration.polynomial.terms()) {
    key.push_back(term.power);
    bits(term.coefficient);
  }
  bits(x0);
  bits(dx);
  key.push_back(n);
  for (const Entry& entry : entries_) {
    if (entry.key == key) {
      std::copy(entry.axis.begin(), entry.axis.end(), out.begin());
      ++hits_;
      return;
    }
  }
  calibration.mz_at_axis(x0, dx, 0, out.data(), n);
  Entry& entry = entries_[next_];
  next_ = (next_ + 1) % kEntries;
  entry.key = std::move(key);
  entry.axis.assign(out.begin(), out.end());
}

Result<void> decode_profile_block_into(ByteSpan block, const SpectrumParams& params,
                                       const calibration::TofCalibration& calibration, PeakSpans out,
                                       ScratchBuffer& scratch, AxisCache* axes) {
  const auto axis_into = [&](double x0, double dx) {
    if (axes != nullptr) {
      axes->fill(calibration, x0, dx, out.mz);
    } else {
      calibration.mz_at_axis(x0, dx, 0, out.mz.data(), out.mz.size());
    }
  };
  VELORIUM_TRY(const bool empty, check_header(params));
  const std::size_t n = empty ? 0 : params.point_count;
  // Checked after every check of the block itself and before a point is
  // written: a caller that sized `out` from the descriptor meets this only
  // when the block is no longer what the descriptor says.
  const auto fits = [&]() -> Result<void> {
    if (out.mz.size() == n && out.intensity.size() == n) return {};
    return parse_error(text::cat("profile block of ", n, " points decoded into room for ", out.mz.size()));
  };
  if (n == 0) return fits();
  const std::uint64_t expected = *params.uncompressed_byte_count;

  if (const auto axis = run_length_axis(block)) {
    const ByteSpan stream = block.subspan(kAxisHeaderBytes);
    VELORIUM_TRY(const std::uint64_t start, run_length_start(stream, params.point_count));
    VELORIUM_CHECK(fits());
    std::fill(out.intensity.begin(), out.intensity.end(), 0.0f);
    VELORIUM_CHECK(run_length_walk(stream, n, start, out.intensity.data(), kToFloat));
    axis_into(axis->x0, axis->dx);
    return {};
  }

  if (expected > lzf::kMaxDecompressedLength) {
    // The cap's own error, which decompress gives before it allocates.
    return std::unexpected<Error>(lzf::decompress(block, expected).error());
  }
  const std::span<std::uint8_t> raw = scratch.get(static_cast<std::size_t>(expected));
  VELORIUM_CHECK(lzf::decompress_into(block, raw));
  const Axis axis = Axis::read(raw.data());
  if (!axis.valid()) return parse_error(text::cat("invalid profile axis: x0=", axis.x0, ", dx=", axis.dx));
  VELORIUM_CHECK(fits());
  const std::uint8_t* src = raw.data() + kAxisHeaderBytes;
  float* const intensity = out.intensity.data();
  for (std::size_t i = 0; i < n; ++i) intensity[i] = static_cast<float>(load_le<std::int32_t>(src + 4 * i));
  axis_into(axis.x0, axis.dx);
  return {};
}

}  // namespace velorium::raw::msprofile

#include "velorium/peaks/pick.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "velorium/text.hpp"

namespace velorium::peaks {
namespace {

constexpr double kGapFactor = 1.5;   // a spacing this much wider than its neighbours' hides dropped zeros
constexpr std::size_t kMaxSide = 8;  // fit points per side beyond the top
constexpr float kMaxFloat = std::numeric_limits<float>::max();

// The intensity a point contributes: itself when positive and finite, else 0.
inline float level(float value) noexcept { return value > 0.0f && value <= kMaxFloat ? value : 0.0f; }

// An evenly spaced sample of the positive intensities, in order, for their
// median: every one while they fit, then every second, fourth, ... one.
class NoiseSample {
 public:
  void add(float value) noexcept {
    if (skip_ != 0) {
      --skip_;
      return;
    }
    if (count_ == kCapacity) {  // keep every second sample and double the stride
      for (std::size_t k = 0; k < kCapacity / 2; ++k) values_[k] = values_[2 * k];
      count_ = kCapacity / 2;
      stride_ *= 2;
    }
    values_[count_++] = value;
    skip_ = stride_ - 1;
  }

  // The median of the sample (the upper of the two middle values), 0 for none.
  float median() noexcept {
    if (count_ == 0) return 0.0f;
    const auto middle = values_.begin() + static_cast<std::ptrdiff_t>(count_ / 2);
    std::nth_element(values_.begin(), middle, values_.begin() + static_cast<std::ptrdiff_t>(count_));
    return *middle;
  }

 private:
  static constexpr std::size_t kCapacity = 2048;
  std::array<float, kCapacity> values_;
  std::size_t count_ = 0;
  std::uint64_t stride_ = 1;
  std::uint64_t skip_ = 0;
};

// The m/z axis with its gaps.
class Axis {
 public:
  explicit Axis(std::span<const double> mz) noexcept : mz_(mz) {}

  // False when a gap lies between points j and j + 1 (j + 1 below size).
  bool linked(std::size_t j) const noexcept {
    const double step = mz_[j + 1] - mz_[j];
    double reference = std::numeric_limits<double>::infinity();
    if (j > 0) reference = mz_[j] - mz_[j - 1];
    if (j + 2 < mz_.size()) reference = std::min(reference, mz_[j + 2] - mz_[j + 1]);
    return !(step > kGapFactor * reference);
  }

 private:
  std::span<const double> mz_;
};

struct Apex {
  double mz;
  float height;
};

// The apex of the maximum whose top is the plateau [first, last], or
// nothing for a single-point spike.
std::optional<Apex> fit_apex(std::span<const double> mz, std::span<const float> intensity, const Axis& axis,
                             std::size_t first, std::size_t last) noexcept {
  const float top = level(intensity[first]);
  const float half = 0.5f * top;
  const std::size_t n = mz.size();
  std::size_t lo = first;
  std::size_t left = 0;
  while (left < kMaxSide && lo > 0 && axis.linked(lo - 1)) {
    const float y = level(intensity[lo - 1]);
    if (y <= 0.0f || y > level(intensity[lo]) || (left > 0 && y < half)) break;
    --lo;
    ++left;
  }
  std::size_t hi = last;
  std::size_t right = 0;
  while (right < kMaxSide && hi + 1 < n && axis.linked(hi)) {
    const float y = level(intensity[hi + 1]);
    if (y <= 0.0f || y > level(intensity[hi]) || (right > 0 && y < half)) break;
    ++hi;
    ++right;
  }
  if (lo == hi) return std::nullopt;  // one point alone

  const double origin = mz[first];
  if (left > 0 && right > 0) {
    // Weighted least squares of log intensity against a parabola in
    // u = (m/z - origin) / scale, scaled so the sums stay near 1.
    const double scale = mz[hi] - mz[lo];
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0, t0 = 0, t1 = 0, t2 = 0;
    for (std::size_t k = lo; k <= hi; ++k) {
      const double y = level(intensity[k]);
      const double u = (mz[k] - origin) / scale;
      const double l = std::log(y);
      const double w = y;
      const double u2 = u * u;
      s0 += w;
      s1 += w * u;
      s2 += w * u2;
      s3 += w * u2 * u;
      s4 += w * u2 * u2;
      t0 += w * l;
      t1 += w * u * l;
      t2 += w * u2 * l;
    }
    // Cramer's rule on [[s0 s1 s2] [s1 s2 s3] [s2 s3 s4]] c = [t0 t1 t2].
    const double m00 = s2 * s4 - s3 * s3;
    const double m01 = s1 * s4 - s3 * s2;
    const double m02 = s1 * s3 - s2 * s2;
    const double det = s0 * m00 - s1 * m01 + s2 * m02;
    if (det != 0.0 && std::isfinite(det)) {
      const double c0 = (t0 * m00 - s1 * (t1 * s4 - s3 * t2) + s2 * (t1 * s3 - s2 * t2)) / det;
      const double c1 = (s0 * (t1 * s4 - s3 * t2) - t0 * m01 + s2 * (s1 * t2 - t1 * s2)) / det;
      const double c2 = (s0 * (s2 * t2 - t1 * s3) - s1 * (s1 * t2 - t1 * s2) + t0 * m02) / det;
      if (c2 < 0.0) {
        const double vertex = -c1 / (2.0 * c2);
        const double height = std::exp(c0 - c1 * c1 / (4.0 * c2));
        const double at = origin + vertex * scale;
        if (at >= mz[lo] && at <= mz[hi] && height <= kMaxFloat) {
          return Apex{at, static_cast<float>(height)};
        }
      }
    }
  }
  // No Gaussian: the intensity-weighted mean of the top points.
  double weight = 0.0;
  double moment = 0.0;
  for (std::size_t k = lo; k <= hi; ++k) {
    const double y = level(intensity[k]);
    weight += y;
    moment += y * (mz[k] - origin);
  }
  return Apex{origin + moment / weight, top};
}

Result<void> check_input(std::span<const double> mz, std::span<const float> intensity) {
  if (mz.size() != intensity.size()) {
    return parse_error(text::cat("cannot pick peaks: ", mz.size(), " m/z values but ", intensity.size(),
                                 " intensities"));
  }
  for (std::size_t i = 0; i < mz.size(); ++i) {
    if (!std::isfinite(mz[i])) {
      return parse_error(text::cat("cannot pick peaks: m/z value ", i, " is ", mz[i]));
    }
    if (i > 0 && !(mz[i] > mz[i - 1])) {
      return parse_error(text::cat("cannot pick peaks: m/z values must ascend, but value ", i, " (", mz[i],
                                   ") follows ", mz[i - 1]));
    }
  }
  return {};
}

}  // namespace

Result<void> check_params(const PickParams& params) {
  if (!(std::isfinite(params.min_intensity) && params.min_intensity >= 0.0)) {
    return parse_error(text::cat("min_intensity must be finite and not negative, not ", params.min_intensity));
  }
  if (!(std::isfinite(params.min_snr) && params.min_snr >= 0.0)) {
    return parse_error(text::cat("min_snr must be finite and not negative, not ", params.min_snr));
  }
  return {};
}

float noise_level(std::span<const float> intensity) noexcept {
  NoiseSample sample;
  for (const float value : intensity) {
    const float y = level(value);
    if (y > 0.0f) sample.add(y);
  }
  return sample.median();
}

Result<void> pick(std::span<const double> mz, std::span<const float> intensity, const PickParams& params,
                  std::vector<double>& mz_out, std::vector<float>& intensity_out) {
  mz_out.clear();
  intensity_out.clear();
  VELORIUM_CHECK(check_params(params));
  VELORIUM_CHECK(check_input(mz, intensity));
  const std::size_t n = mz.size();
  const Axis axis(mz);
  NoiseSample noise;
  std::size_t i = 0;
  while (i < n) {
    const float v = level(intensity[i]);
    if (v == 0.0f) {
      ++i;
      continue;
    }
    noise.add(v);
    // A maximum starts where the level rises: above the point before, or
    // after a gap (the dropped points were zeros).
    if (i > 0 && level(intensity[i - 1]) >= v && axis.linked(i - 1)) {
      ++i;
      continue;
    }
    std::size_t last = i;
    while (last + 1 < n && level(intensity[last + 1]) == v && axis.linked(last)) {
      ++last;
      noise.add(v);
    }
    const bool falls = last + 1 >= n || level(intensity[last + 1]) < v || !axis.linked(last);
    if (falls) {
      if (const auto apex = fit_apex(mz, intensity, axis, i, last)) {
        mz_out.push_back(apex->mz);
        intensity_out.push_back(apex->height);
      }
    }
    i = last + 1;
  }
  // The filters need the noise level of the whole spectrum: applied to the
  // candidates in place.
  const double floor = std::max(params.min_intensity, params.min_snr * static_cast<double>(noise.median()));
  std::size_t kept = 0;
  for (std::size_t k = 0; k < mz_out.size(); ++k) {
    if (static_cast<double>(intensity_out[k]) >= floor) {
      mz_out[kept] = mz_out[k];
      intensity_out[kept] = intensity_out[k];
      ++kept;
    }
  }
  mz_out.resize(kept);
  intensity_out.resize(kept);
  return {};
}

}  // namespace velorium::peaks

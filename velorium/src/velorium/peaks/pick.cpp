#include "velorium/peaks/pick.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "velorium/text.hpp"

namespace velorium::peaks {
namespace {

constexpr double kGapFactor = 1.5;   // a spacing this much wider than its neighbours' hides dropped zeros
constexpr std::size_t kMaxSide = 8;  // fit points per side beyond the top
constexpr float kMaxFloat = std::numeric_limits<float>::max();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// The intensity a point contributes: itself when positive and finite, else 0.
inline float level(float value) noexcept { return value > 0.0f && value <= kMaxFloat ? value : 0.0f; }

// The noise level: the median of the positive values among at most
// kSample evenly spaced points (all points of shorter spectra).
constexpr std::size_t kSample = 1024;

// The k-th smallest (from 0, k below the size) of at most kSample positive
// finite values. Their bit patterns order as the values do, so the value is
// found digit by digit, from the highest of three digits (11, 11 and 10
// bits): each pass counts the values that share the digits found so far by
// their next digit. Three passes without data-dependent branches, where a
// selection by comparisons mispredicts about every other one.
float kth_smallest(std::span<const float> values, std::size_t k) noexcept {
  constexpr int kShifts[] = {21, 10, 0};
  constexpr std::uint32_t kDigits[] = {0x7ffu, 0x7ffu, 0x3ffu};
  std::uint32_t prefix = 0;
  std::uint32_t known = 0;  // the bits of prefix found so far
  for (int pass = 0; pass < 3; ++pass) {
    std::array<std::uint16_t, 2048> counts{};  // kSample values at most: they fit
    const int shift = kShifts[pass];
    for (const float v : values) {
      const auto bits = std::bit_cast<std::uint32_t>(v);
      counts[(bits >> shift) & kDigits[pass]] += static_cast<std::uint16_t>((bits & known) == prefix);
    }
    std::uint32_t digit = 0;
    while (k >= counts[digit]) k -= counts[digit++];
    prefix |= digit << shift;
    known |= kDigits[pass] << shift;
  }
  return std::bit_cast<float>(prefix);
}

float sampled_median(std::span<const float> intensity) noexcept {
  std::array<float, kSample> values;
  std::size_t count = 0;
  const std::size_t n = intensity.size();
  const std::size_t stride = n <= kSample ? 1 : (n + kSample - 1) / kSample;
  // Every sampled point is written and only the positive ones counted: no
  // branch on the zeros and the peaks, which alternate at random.
  for (std::size_t i = 0; i < n; i += stride) {
    const float y = level(intensity[i]);
    values[count] = y;
    count += static_cast<std::size_t>(y > 0.0f);
  }
  if (count == 0) return 0.0f;
  // The upper of the two middle values.
  return kth_smallest(std::span<const float>(values.data(), count), count / 2);
}

// The m/z axis with its gaps.
class Axis {
 public:
  explicit Axis(std::span<const double> mz) noexcept : mz_(mz) {}

  // False when a gap lies between points j and j + 1 (j + 1 below size).
  // A spacing within 1 % of the spacings on both sides is regular (the
  // sampling changes slowly): the common case, decided at once. Otherwise
  // it is a gap when it exceeds kGapFactor times the smallest of the kReach
  // spacings on either side (where zero runs were dropped the neighbouring
  // spacings may be gaps too; the regular one is the smallest near by).
  bool linked(std::size_t j) const noexcept {
    const std::size_t n = mz_.size();
    const double step = mz_[j + 1] - mz_[j];
    if (j > 0 && j + 2 < n) {
      const double before = mz_[j] - mz_[j - 1];
      const double after = mz_[j + 2] - mz_[j + 1];
      if (step <= kSame * before && before <= kSame * step && step <= kSame * after && after <= kSame * step) {
        return true;
      }
    }
    double reference = std::numeric_limits<double>::infinity();
    const std::size_t first = j > kReach ? j - kReach : 0;
    const std::size_t last = std::min(j + kReach, n - 2);  // the last spacing starts at n - 2
    for (std::size_t k = first; k <= last; ++k) {
      if (k != j) reference = std::min(reference, mz_[k + 1] - mz_[k]);
    }
    return !(step > kGapFactor * reference);
  }

 private:
  static constexpr std::size_t kReach = 4;
  static constexpr double kSame = 1.01;
  std::span<const double> mz_;
};

// Whether the points from `top` outward in `step` direction fall over at
// least two positive linked points; `reached` is the last point the fit took
// on that side (one step from the top or further).
bool falling(std::span<const float> intensity, const Axis& axis, std::size_t reached, std::size_t top,
             int step) noexcept {
  const std::size_t taken = step < 0 ? top - reached : reached - top;
  if (taken >= 2) return true;
  const std::size_t n = intensity.size();
  if (step < 0) {
    return reached > 0 && axis.linked(reached - 1) && level(intensity[reached - 1]) > 0.0f &&
           level(intensity[reached - 1]) <= level(intensity[reached]);
  }
  return reached + 1 < n && axis.linked(reached) && level(intensity[reached + 1]) > 0.0f &&
         level(intensity[reached + 1]) <= level(intensity[reached]);
}

// Whether the log intensity keeps bending down from `inner` over `edge` to
// `outer` (each a step further from the top), as it does along a Gaussian
// (edge^2 >= inner * outer): where it does not, the flank turns into a
// shoulder or a valley shared with a neighbouring peak and the fit stops.
inline bool bends_down(float outer, float edge, float inner) noexcept {
  return static_cast<double>(edge) * edge >= static_cast<double>(inner) * outer;
}

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
    if (y <= 0.0f || y > level(intensity[lo])) break;
    if (left > 0 && (y < half || !bends_down(y, intensity[lo], intensity[lo + 1]))) break;
    --lo;
    ++left;
  }
  std::size_t hi = last;
  std::size_t right = 0;
  while (right < kMaxSide && hi + 1 < n && axis.linked(hi)) {
    const float y = level(intensity[hi + 1]);
    if (y <= 0.0f || y > level(intensity[hi])) break;
    if (right > 0 && (y < half || !bends_down(y, intensity[hi], intensity[hi - 1]))) break;
    ++hi;
    ++right;
  }
  if (left == 0 || right == 0) {
    // One side without a positive neighbour: the edge of the spectrum, a
    // gap or a zero run. The other side must fall over two points, else this
    // is a blip of noise (a real peak spans several points).
    const bool falls_left = left > 0 && falling(intensity, axis, lo, first, -1);
    const bool falls_right = right > 0 && falling(intensity, axis, hi, last, +1);
    if (!falls_left && !falls_right && last - first < 2) return std::nullopt;
  }

  const double origin = mz[first];
  if (left == 1 && right == 1 && first == last) {
    // Three points: the parabola through them, in closed form, with the
    // logarithms of the flanks taken relative to the top.
    const double y = top;
    const double d0 = mz[lo] - origin;
    const double d2 = mz[hi] - origin;
    const double s0 = std::log(level(intensity[lo]) / top) / d0;
    const double s2 = std::log(level(intensity[hi]) / top) / d2;
    const double c2 = (s0 - s2) / (d0 - d2);
    const double c1 = s0 - c2 * d0;
    if (c2 < 0.0) {
      const double vertex = -c1 / (2.0 * c2);
      // The parabola's rise from the top to its vertex, a small exponent:
      // single precision is enough for an f32 height.
      const double height = y * static_cast<double>(std::exp(static_cast<float>(0.5 * c1 * vertex)));
      if (vertex >= d0 && vertex <= d2 && height <= kMaxFloat) return Apex{origin + vertex, static_cast<float>(height)};
    }
  } else if (left > 0 && right > 0) {
    // Weighted least squares of log intensity against a parabola in
    // u = (m/z - origin) / scale, scaled so the sums stay near 1.
    const double scale = mz[hi] - mz[lo];
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0, t0 = 0, t1 = 0, t2 = 0;
    for (std::size_t k = lo; k <= hi; ++k) {
      const double y = level(intensity[k]);
      const double u = (mz[k] - origin) / scale;
      const double l = std::log(static_cast<float>(y));  // intensities are f32: so is their logarithm
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

// Whether every m/z value exceeds the one before (false at a NaN).
bool ascends_strictly(std::span<const double> mz, [[maybe_unused]] std::span<const float> intensity) noexcept {
  const std::size_t n = mz.size();
  std::size_t i = 1;
#if defined(__SSE2__)
  __m128d all = _mm_castsi128_pd(_mm_set1_epi32(-1));
  __m128d more = all;
  for (; i + 4 <= n; i += 4) {
    // The intensities come next: fetched alongside, every 16 values.
    if ((i & 15) == 1) _mm_prefetch(reinterpret_cast<const char*>(intensity.data() + i) + 1024, _MM_HINT_T0);
    // Spectra come from memory that decoding or the caller wrote long ago:
    // asking for the m/z values 2 KiB ahead keeps the loads from waiting.
    _mm_prefetch(reinterpret_cast<const char*>(&mz[i]) + 2048, _MM_HINT_T0);
    all = _mm_and_pd(all, _mm_cmpgt_pd(_mm_loadu_pd(&mz[i]), _mm_loadu_pd(&mz[i - 1])));
    more = _mm_and_pd(more, _mm_cmpgt_pd(_mm_loadu_pd(&mz[i + 2]), _mm_loadu_pd(&mz[i + 1])));
  }
  if (_mm_movemask_pd(_mm_and_pd(all, more)) != 3) return false;
#endif
  bool ascending = true;
  for (; i < n; ++i) ascending &= mz[i] > mz[i - 1];
  return ascending;
}

// The first point at or after `i` whose intensity is at least `floor` (a
// positive f32), or n: most points lie below the floor and are passed over
// four or eight at a time.
std::size_t next_at_or_above(std::span<const float> intensity, std::size_t i, float floor) noexcept {
  const std::size_t n = intensity.size();
#if defined(__SSE2__)
  const __m128 f = _mm_set1_ps(floor);
  for (; i + 8 <= n; i += 8) {
    const __m128 a = _mm_cmpge_ps(_mm_loadu_ps(&intensity[i]), f);
    const __m128 b = _mm_cmpge_ps(_mm_loadu_ps(&intensity[i + 4]), f);
    if (_mm_movemask_ps(_mm_or_ps(a, b)) != 0) break;
  }
#endif
  while (i < n && !(intensity[i] >= floor)) ++i;
  return i;
}

Result<void> check_input(std::span<const double> mz, std::span<const float> intensity) {
  if (mz.size() != intensity.size()) {
    return parse_error(text::cat("cannot pick peaks: ", mz.size(), " m/z values but ", intensity.size(),
                                 " intensities"));
  }
  // Strictly ascending between finite ends means every value is finite (a
  // NaN fails every comparison): one pass without branches, and a second
  // one only to name the first bad value.
  const std::size_t n = mz.size();
  if (n == 0 || (ascends_strictly(mz, intensity) && std::isfinite(mz[0]) && std::isfinite(mz[n - 1]))) return {};
  for (std::size_t i = 0; i < n; ++i) {
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

float noise_level(std::span<const float> intensity) noexcept { return sampled_median(intensity); }

Result<void> pick(std::span<const double> mz, std::span<const float> intensity, const PickParams& params,
                  std::vector<double>& mz_out, std::vector<float>& intensity_out) {
  mz_out.clear();
  intensity_out.clear();
  VELORIUM_CHECK(check_params(params));
  VELORIUM_CHECK(check_input(mz, intensity));
  const std::size_t n = mz.size();
  // The least top a kept peak can have: no point below it can be a top, so
  // most points are passed over in blocks without looking closer.
  const double floor = std::max(params.min_intensity, params.min_snr * static_cast<double>(sampled_median(intensity)));
  // The least f32 at or above the floor (and above zero): v >= top_floor
  // exactly when v is a positive value at or above the floor.
  float top_floor = static_cast<float>(floor);
  if (static_cast<double>(top_floor) < floor) top_floor = std::nextafter(top_floor, kInfinity);
  top_floor = std::max(top_floor, std::numeric_limits<float>::denorm_min());
  const Axis axis(mz);
  std::size_t i = 0;
  for (;;) {
    i = next_at_or_above(intensity, i, top_floor);
    if (i >= n) break;
    const float v = intensity[i];
    if (v > kMaxFloat) {
      ++i;
      continue;
    }
    // A maximum starts where the level rises: above the point before, or
    // after a gap (the dropped points were zeros).
    if (i > 0 && level(intensity[i - 1]) >= v && axis.linked(i - 1)) {
      ++i;
      continue;
    }
    std::size_t last = i;
    while (last + 1 < n && intensity[last + 1] == v && axis.linked(last)) ++last;
    const bool falls = last + 1 >= n || level(intensity[last + 1]) < v || !axis.linked(last);
    if (falls) {
      if (const auto apex = fit_apex(mz, intensity, axis, i, last)) {
        mz_out.push_back(apex->mz);
        intensity_out.push_back(apex->height);
      }
    }
    i = last + 1;
  }
  return {};
}

}  // namespace velorium::peaks

// Peak picking: the centroids of one profile spectrum.
//
// The picker works on one spectrum at a time, m/z (f64, strictly ascending)
// against intensity (f32), and returns one centroid per peak: the apex m/z
// and the apex height. It keeps no state and allocates nothing beyond its
// output (a fixed 4 KiB of stack for the noise estimate).
//
// Points. A point takes part in a peak only when its intensity is positive
// and finite; zero, negative, NaN and infinite intensities count as zero.
// Zero runs need not be present: where the spacing between two neighbouring
// points differs by more than 1 % from a spacing beside it and exceeds 1.5
// times the smallest of the four spacings on either side, the points in
// between are taken as dropped zeros, so a peak never spans such a gap. A spectrum with zero runs removed therefore gives the same
// centroids as the same spectrum with its zeros, as long as regularly
// spaced points remain near each gap to show the sampling (points left
// isolated between gaps of similar widths cannot show it), and up to the
// noise level of a long spectrum, which is taken from a sample of its
// points.
//
// Maxima. A peak is a point, or a plateau of equal neighbouring points
// (taken once), whose neighbours on both sides are lower; a missing
// neighbour (the ends of the spectrum, a gap) counts as zero, so peaks at
// the ends and peaks cut by zero runs are found. A peak that has no positive
// neighbour on one side must fall over at least two points on the other
// (or have a top of three equal points): a single-point spike, or a blip of
// two points beside a zero, is noise and never a peak.
//
// Apex. A Gaussian fitted to the logarithms of the top points: the maximum,
// its lower neighbour on each side, and further points on each side while
// they keep falling, stay above half the maximum and keep the log intensity
// bending down as along a Gaussian (a shoulder or a valley shared with an
// overlapping peak ends the side), at most 8 per side.
// Fitting a parabola to log intensities is exact for a Gaussian peak
// whatever the sampling phase and the spacing (the m/z spacing of a
// time-of-flight spectrum grows with m/z); with three points it is the
// parabola through them. Each point is weighted by its intensity, the
// inverse variance of its logarithm for counted ions, so the top points
// decide and the flanks steady the fit. The apex m/z is the parabola's
// vertex and the height its value there. Where no Gaussian fits (a side
// without a positive neighbour, a flat or upward parabola, a vertex outside
// the points), the apex is the intensity-weighted mean m/z of the top points
// and the height the maximum.
//
// Filters. A peak is kept when its highest point is at least min_intensity
// and at least min_snr times the noise level, the median of the spectrum's
// positive intensities: in a time-of-flight spectrum most non-zero points
// are baseline, so their median measures the noise floor. Points below that
// floor are passed over without a closer look, which keeps the picker fast
// on noisy spectra. (The median is exact for spectra of up to 1024 points;
// for longer ones it is the median of the positive values among 1024 evenly
// spaced points.) Without noise the positive points are peak flanks and the
// median is no noise floor: use min_snr=0 there.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "velorium/error.hpp"

namespace velorium::peaks {

inline constexpr double kDefaultMinSnr = 2.0;

struct PickParams {
  double min_intensity = 0.0;        // the least apex height kept
  double min_snr = kDefaultMinSnr;  // the least apex height kept, in multiples of the noise level

  friend bool operator==(const PickParams&, const PickParams&) = default;
};

// Both parameters finite and not negative; otherwise an Error saying which.
Result<void> check_params(const PickParams& params);

// The centroids of one profile spectrum, m/z ascending, into mz_out and
// intensity_out (cleared first; their capacity is reused). An Error, with
// both outputs empty, when the arrays differ in length, when an m/z value is
// not finite or does not exceed the one before it, or when the parameters
// are not usable.
Result<void> pick(std::span<const double> mz, std::span<const float> intensity, const PickParams& params,
                  std::vector<double>& mz_out, std::vector<float>& intensity_out);

// The noise level the filters use: the median of the positive finite
// intensities (sampled as described above), 0 when there are none.
float noise_level(std::span<const float> intensity) noexcept;

}  // namespace velorium::peaks

#include "velorium/process/chain.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "velorium/peaks/decode.hpp"
#include "velorium/text.hpp"

namespace velorium::process {
namespace {

// PSI-MS terms of the steps.
constexpr const char* kDataFiltering = "MS:1001486";
constexpr const char* kLowIntensityRemoval = "MS:1000594";
constexpr const char* kPeakPicking = "MS:1000035";

template <class Keep>
std::size_t compact(std::span<double> mz, std::span<float> intensity, Keep&& keep) noexcept {
  const std::size_t n = std::min(mz.size(), intensity.size());
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!keep(i)) continue;
    mz[kept] = mz[i];
    intensity[kept] = intensity[i];
    ++kept;
  }
  return kept;
}

// NaN below every number, so that it is never among the most intense.
float rank(float value) noexcept { return std::isnan(value) ? -std::numeric_limits<float>::infinity() : value; }

void shrink(lumora::SpectrumRecord& s, std::size_t kept) {
  s.mz.resize(kept);
  s.intensity.resize(kept);
}

class PickPeaks final : public Step {
 public:
  explicit PickPeaks(const peaks::PickParams& params) : params_(params) {}
  bool applies_to(lumora::ScanMode mode) const noexcept override { return mode == lumora::ScanMode::Profile; }
  Result<void> apply(lumora::SpectrumRecord& s, Scratch&) const override {
    return peaks::pick_spectrum(s, params_);
  }
  std::vector<Param> describe() const override {
    return {{kPeakPicking, "peak picking", "", "", "", "xsd:string"},
            {"", "min_intensity", text::display_f64(params_.min_intensity), "", "", "xsd:double"},
            {"", "min_snr", text::display_f64(params_.min_snr), "", "", "xsd:double"}};
  }

 private:
  peaks::PickParams params_;
};

class TrimZeros final : public Step {
 public:
  Result<void> apply(lumora::SpectrumRecord& s, Scratch&) const override {
    shrink(s, trim_zeros(s.mz, s.intensity));
    return {};
  }
  std::vector<Param> describe() const override {
    return {{kDataFiltering, "data filtering", "", "", "", "xsd:string"},
            {"", "zero-intensity data point removal", "all but the neighbours of non-zero points", "", "",
             "xsd:string"}};
  }
};

class AbsoluteThreshold final : public Step {
 public:
  explicit AbsoluteThreshold(double minimum) : minimum_(minimum) {}
  Result<void> apply(lumora::SpectrumRecord& s, Scratch&) const override {
    shrink(s, keep_at_least(s.mz, s.intensity, minimum_));
    return {};
  }
  std::vector<Param> describe() const override {
    return {{kLowIntensityRemoval, "low intensity data point removal", "", "", "", "xsd:string"},
            {"MS:1000629", "low intensity threshold", text::display_f64(minimum_), "MS:1000131",
             "number of detector counts", "xsd:string"}};
  }

 private:
  double minimum_;
};

class MostIntense final : public Step {
 public:
  explicit MostIntense(std::size_t count) : count_(count) {}
  Result<void> apply(lumora::SpectrumRecord& s, Scratch& scratch) const override {
    shrink(s, keep_most_intense(s.mz, s.intensity, count_, scratch));
    return {};
  }
  std::vector<Param> describe() const override {
    return {{kLowIntensityRemoval, "low intensity data point removal", "", "", "", "xsd:string"},
            {"", "most intense data points kept", text::cat(count_), "", "", "xsd:integer"}};
  }

 private:
  std::size_t count_;
};

// The summary of the spectrum as acquired, kept in the record before its
// peaks change.
void keep_summary(lumora::SpectrumRecord& s) {
  if (!s.reported_total_ion_current) s.reported_total_ion_current = s.effective_tic();
  if (!s.reported_base_peak_mz || !s.reported_base_peak_intensity) {
    if (const auto base_peak = s.effective_base_peak()) {
      s.reported_base_peak_mz = base_peak->first;
      s.reported_base_peak_intensity = base_peak->second;
    }
  }
}

}  // namespace

Chain& Chain::then(std::shared_ptr<const Step> step) {
  // The masks of applicable() have one bit per step.
  if (steps_.size() == 64) throw std::length_error("a processing chain holds at most 64 steps");
  steps_.push_back(std::move(step));
  return *this;
}

std::uint64_t Chain::applicable(std::optional<lumora::ScanMode> mode) const noexcept {
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    if (!mode || steps_[i]->applies_to(*mode)) mask |= std::uint64_t{1} << i;
  }
  return mask;
}

Result<std::uint64_t> Chain::apply(lumora::SpectrumRecord& spectrum, Scratch& scratch) const {
  if (steps_.empty()) return std::uint64_t{0};
  const std::uint64_t mask = applicable(spectrum.scan_mode);
  keep_summary(spectrum);
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    if ((mask >> i & 1) != 0) VELORIUM_CHECK(steps_[i]->apply(spectrum, scratch));
  }
  return mask;
}

Result<void> validate(const Options& options) {
  if (options.min_intensity && !(std::isfinite(*options.min_intensity) && *options.min_intensity >= 0.0)) {
    return parse_error(text::cat("the intensity threshold must be a finite number of at least 0, not ",
                                 *options.min_intensity));
  }
  if (options.top && *options.top == 0) return parse_error("the number of most intense points kept must be at least 1");
  if (options.pick_peaks) VELORIUM_CHECK(peaks::check_params(*options.pick_peaks));
  return {};
}

Chain chain_of(const Options& options) {
  Chain chain;
  if (options.pick_peaks) chain.then(pick_peaks(*options.pick_peaks));
  if (options.trim_zeros) chain.then(trim_zeros());
  if (options.min_intensity) chain.then(absolute_threshold(*options.min_intensity));
  if (options.top) chain.then(most_intense(*options.top));
  return chain;
}

std::shared_ptr<const Step> pick_peaks(const peaks::PickParams& params) { return std::make_shared<PickPeaks>(params); }
std::shared_ptr<const Step> trim_zeros() { return std::make_shared<TrimZeros>(); }
std::shared_ptr<const Step> absolute_threshold(double minimum) { return std::make_shared<AbsoluteThreshold>(minimum); }
std::shared_ptr<const Step> most_intense(std::size_t count) { return std::make_shared<MostIntense>(count); }

std::size_t trim_zeros(std::span<double> mz, std::span<float> intensity) noexcept {
  const std::size_t n = std::min(mz.size(), intensity.size());
  // Each point is judged by its neighbours' original values: the one before
  // is remembered, the one after is read before anything is written there.
  // Every point is copied and the count advanced only for kept ones, which
  // runs without branches on long stretches of zeros and peaks alike.
  std::size_t kept = 0;
  bool previous = false;
  bool here = n > 0 && intensity[0] != 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const bool next = i + 1 < n && intensity[i + 1] != 0.0f;
    mz[kept] = mz[i];
    intensity[kept] = intensity[i];
    kept += static_cast<std::size_t>(previous || here || next);
    previous = here;
    here = next;
  }
  return kept;
}

std::size_t keep_at_least(std::span<double> mz, std::span<float> intensity, double minimum) noexcept {
  return compact(mz, intensity, [&](std::size_t i) { return static_cast<double>(intensity[i]) >= minimum; });
}

std::size_t keep_most_intense(std::span<double> mz, std::span<float> intensity, std::size_t count,
                              Scratch& scratch) {
  const std::size_t n = std::min(mz.size(), intensity.size());
  if (count >= n) return n;
  if (count == 0) return 0;
  // The count-th largest rank; every point above it is kept, and of the
  // points equal to it the first ones until the count is reached.
  scratch.values.resize(n);
  for (std::size_t i = 0; i < n; ++i) scratch.values[i] = rank(intensity[i]);
  const auto nth = scratch.values.begin() + static_cast<std::ptrdiff_t>(count - 1);
  std::nth_element(scratch.values.begin(), nth, scratch.values.end(), std::greater<float>());
  const float cut = *nth;
  std::size_t above = 0;
  for (std::size_t i = 0; i < n; ++i) above += rank(intensity[i]) > cut ? 1 : 0;
  std::size_t ties = count - above;
  return compact(mz, intensity, [&](std::size_t i) {
    const float r = rank(intensity[i]);
    if (r > cut) return true;
    if (r == cut && ties > 0) {
      --ties;
      return true;
    }
    return false;
  });
}

}  // namespace velorium::process

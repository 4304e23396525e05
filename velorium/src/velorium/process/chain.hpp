// The processing of each spectrum between decoding and writing: a chain of
// steps (peak picking, zero trimming, thresholds) that change a spectrum's
// peaks in place, each able to describe itself in PSI-MS terms for the files
// that record how their data was processed.
//
// Steps are immutable and shared: one chain serves every worker thread, each
// with its own Scratch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "lumora/enums.hpp"
#include "lumora/types.hpp"
#include "velorium/error.hpp"
#include "velorium/peaks/pick.hpp"

namespace velorium::process {

// One term of a step's description: a controlled-vocabulary term, or a user
// parameter when `accession` is empty.
struct Param {
  std::string accession;  // "MS:1000594"; empty for a user parameter
  std::string name;
  std::string value;
  std::string unit_accession;  // "MS:1000131", "UO:0000010", or empty
  std::string unit_name;
  std::string type = "xsd:string";  // the value type of a user parameter

  friend bool operator==(const Param&, const Param&) = default;
};

// Working memory of the steps, reused from spectrum to spectrum by one thread.
struct Scratch {
  std::vector<float> values;
};

class Step {
 public:
  virtual ~Step() = default;
  // Whether spectra of this scan mode go through the step (a peak picker
  // takes profile spectra only); an unknown mode goes through every step.
  virtual bool applies_to(lumora::ScanMode mode) const noexcept {
    (void)mode;
    return true;
  }
  // Changes the spectrum's peaks (and, for a peak picker, its scan mode).
  // An Error leaves the spectrum unspecified and fails it.
  virtual Result<void> apply(lumora::SpectrumRecord& spectrum, Scratch& scratch) const = 0;
  // The terms that record the step and its parameters.
  virtual std::vector<Param> describe() const = 0;
};

// The steps in the order they run.
class Chain {
 public:
  Chain& then(std::shared_ptr<const Step> step);

  bool empty() const noexcept { return steps_.empty(); }
  std::span<const std::shared_ptr<const Step>> steps() const noexcept { return steps_; }

  // The steps that a spectrum of `mode` goes through: bit i for step i.
  std::uint64_t applicable(std::optional<lumora::ScanMode> mode) const noexcept;

  // Runs the applicable steps on `spectrum`, in order. First the summary of
  // the spectrum as acquired is kept in its record (the reported total ion
  // current and base peak are set from the peaks where the scan did not
  // report them), so that the TIC, the base peak and the chromatograms built
  // from them describe the acquisition whatever the steps remove. Nothing
  // is touched by an empty chain. Returns applicable(mode) for the mode the
  // spectrum had on entry.
  Result<std::uint64_t> apply(lumora::SpectrumRecord& spectrum, Scratch& scratch) const;

 private:
  std::vector<std::shared_ptr<const Step>> steps_;
};

// The steps the command and the Python methods offer, in the order they run.
struct Options {
  // Profile spectra replaced by their centroids (peaks::pick_spectrum).
  std::optional<peaks::PickParams> pick_peaks;
  bool trim_zeros = false;
  std::optional<double> min_intensity;   // absolute threshold
  std::optional<std::size_t> top;        // most intense points kept

  friend bool operator==(const Options&, const Options&) = default;
};

// A Parse error for a threshold that is NaN, infinite or negative, a top
// count of 0, or picking parameters that are not usable.
Result<void> validate(const Options& options);

// The chain of the options (which must be valid).
Chain chain_of(const Options& options);

// A profile spectrum is replaced by its centroids and becomes a centroid
// spectrum, exactly as an acquisition opened with picking hands it out
// (peaks::pick_spectrum); the spectra of other scan modes do not go through
// the step. Recorded as PSI-MS "peak picking" with the parameters as user
// parameters. The parameters must be valid (peaks::check_params).
std::shared_ptr<const Step> pick_peaks(const peaks::PickParams& params);

// Zero-intensity points are removed, except those next to a point whose
// intensity is not zero, so that every peak keeps its flanks. The kept
// points keep their order.
std::shared_ptr<const Step> trim_zeros();

// Points whose intensity is below `minimum` (NaN included) are removed.
std::shared_ptr<const Step> absolute_threshold(double minimum);

// The `count` most intense points are kept, in their original order; of
// equally intense points the earlier ones win; NaN counts as the lowest.
std::shared_ptr<const Step> most_intense(std::size_t count);

// The same operations on bare arrays (the first min(size) points of both),
// compacted in place; they return the number of points kept.
std::size_t trim_zeros(std::span<double> mz, std::span<float> intensity) noexcept;
std::size_t keep_at_least(std::span<double> mz, std::span<float> intensity, double minimum) noexcept;
std::size_t keep_most_intense(std::span<double> mz, std::span<float> intensity, std::size_t count,
                              Scratch& scratch);

}  // namespace velorium::process

// Throughput of the block decoders: LZF decompression side by side with
// liblzf's lzf_decompress on the same blocks, and the profile and peak
// block decoders end to end. After the runs, a table gives the speed of
// this library's LZF decoder relative to liblzf's for every block.
//
//   velorium_bench --benchmark_min_time=0.2 --benchmark_repetitions=3
#include <liblzf/lzf.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "velorium/raw/calibration.hpp"
#include "velorium/raw/lzf.hpp"
#include "velorium/raw/mspeak.hpp"
#include "velorium/raw/msprofile.hpp"

namespace {

namespace calibration = velorium::raw::calibration;
namespace lzf = velorium::raw::lzf;
namespace msprofile = velorium::raw::msprofile;
namespace mspeak = velorium::raw::mspeak;
using Vec = std::vector<std::uint8_t>;

template <class T>
void put(Vec& out, T v) {
  const std::size_t at = out.size();
  out.resize(at + sizeof(T));
  std::memcpy(out.data() + at, &v, sizeof(T));
}
void put_f64(Vec& out, double v) { put(out, v); }
void put_f32(Vec& out, float v) { put(out, v); }
template <class T>
void put_int(Vec& out, T v) {
  put(out, v);
}

constexpr double kX0 = 20000.0;  // flight time of point 0
constexpr double kDx = 0.5;

// A time-of-flight calibration: m/z from about 50 at the start of the axis
// to about 3000 at 10^6 points, with a three-term correction.
calibration::TofCalibration tof_calibration() {
  const std::vector<double> coefficients = {1.05e-4, 1500.0, 20000.0, 520000.0, 1e-3, 2e-8, -1e-14, 0, 0, 0};
  return *calibration::TofCalibration::from_coefficients(coefficients, 0b111,
                                                         calibration::CalibrationSource::MassCalRecord);
}

// Intensities of a profile: Gaussian peaks of random height and width over a
// noisy baseline.
std::vector<std::int32_t> profile_intensities(std::size_t points, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> baseline(30.0, 6.0);
  std::vector<double> y(points);
  for (auto& v : y) v = std::max(0.0, baseline(rng));
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (std::size_t center = 0; center < points;) {
    const double sigma = 1.5 + 6.0 * unit(rng);
    const double height = std::pow(10.0, 2.0 + 4.0 * unit(rng));
    const auto reach = static_cast<std::size_t>(6 * sigma) + 1;
    for (std::size_t i = center > reach ? center - reach : 0; i < std::min(points, center + reach); ++i) {
      const double d = (static_cast<double>(i) - static_cast<double>(center)) / sigma;
      y[i] += height * std::exp(-0.5 * d * d);
    }
    center += 40 + static_cast<std::size_t>(400 * unit(rng));
  }
  std::vector<std::int32_t> out(points);
  for (std::size_t i = 0; i < points; ++i) out[i] = static_cast<std::int32_t>(std::lround(y[i]));
  return out;
}

// The decompressed form of a profile block: axis header, i32 intensities.
Vec profile_raw(const std::vector<std::int32_t>& intensities) {
  Vec out;
  put_f64(out, kX0);
  put_f64(out, kDx);
  for (std::int32_t v : intensities) put_int(out, v);
  return out;
}

// A run-length block of the same profile with the baseline below a
// threshold left out: skips for the gaps, 2-byte words where the values
// allow, 4-byte words elsewhere.
Vec run_length_block(const std::vector<std::int32_t>& intensities, std::int32_t threshold) {
  Vec out;
  put_f64(out, kX0);
  put_f64(out, kDx);
  put_int<std::uint32_t>(out, msprofile::kRunLengthMarker);
  put_int<std::int32_t>(out, 0);
  std::size_t width = 4;
  const auto word = [&](std::int64_t v) {
    if (width == 2) put_int<std::int16_t>(out, static_cast<std::int16_t>(v));
    else put_int<std::int32_t>(out, static_cast<std::int32_t>(v));
  };
  std::size_t i = 0;
  std::uint64_t skip = 0;
  while (i < intensities.size()) {
    if (intensities[i] < threshold) {
      ++skip;
      ++i;
      continue;
    }
    std::size_t end = i;
    bool narrow = true;
    for (; end < intensities.size() && intensities[end] >= threshold; ++end) {
      if (intensities[end] >= 32768) narrow = false;
    }
    const std::size_t code = narrow ? 1 : 2;
    const std::uint64_t max_skip = width == 2 ? 8191 : 1u << 28;
    while (skip > max_skip) {
      word(-static_cast<std::int64_t>(((max_skip << 2) | (width == 2 ? 1 : 2)) + 1));
      skip -= max_skip;
    }
    word(-static_cast<std::int64_t>(((skip << 2) | code) + 1));
    width = std::size_t{1} << code;
    skip = 0;
    for (; i < end; ++i) word(intensities[i]);
  }
  return out;
}

Vec compress(const Vec& raw) {
  Vec out(raw.size() + raw.size() / 16 + 64);
  out.resize(lzf_compress(raw.data(), static_cast<unsigned>(raw.size()), out.data(), static_cast<unsigned>(out.size())));
  return out;
}

struct LzfCase {
  std::string name;
  Vec raw;
  Vec packed;
};

std::vector<LzfCase> lzf_cases() {
  std::vector<LzfCase> cases;
  for (const std::size_t points : {10000, 100000, 1000000}) {
    Vec raw = profile_raw(profile_intensities(points, static_cast<std::uint32_t>(points)));
    cases.push_back({"profile-" + std::to_string(points), raw, compress(raw)});
  }
  std::mt19937 rng(1);
  Vec random(1 << 20);
  for (auto& b : random) b = static_cast<std::uint8_t>(rng());
  cases.push_back({"random-1MiB", random, compress(random)});
  return cases;
}

void report_lzf(benchmark::State& state, const LzfCase& c) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(c.raw.size()));
  state.counters["ratio"] = static_cast<double>(c.raw.size()) / static_cast<double>(c.packed.size());
}

void register_lzf(const std::vector<LzfCase>& cases) {
  for (const LzfCase& c : cases) {
    // This library: the output buffer is allocated inside decompress.
    benchmark::RegisterBenchmark(("lzf/velorium/" + c.name).c_str(), [&c](benchmark::State& state) {
      for (auto _ : state) {
        auto out = lzf::decompress(c.packed, c.raw.size());
        if (!out) state.SkipWithError("decompress failed");
        benchmark::DoNotOptimize(out->data());
        benchmark::ClobberMemory();
      }
      report_lzf(state, c);
    });
    // liblzf with the same allocation per block.
    benchmark::RegisterBenchmark(("lzf/liblzf/" + c.name).c_str(), [&c](benchmark::State& state) {
      for (auto _ : state) {
        auto out = std::make_unique_for_overwrite<std::uint8_t[]>(c.raw.size());
        const unsigned n = lzf_decompress(c.packed.data(), static_cast<unsigned>(c.packed.size()), out.get(),
                                          static_cast<unsigned>(c.raw.size()));
        if (n != c.raw.size()) state.SkipWithError("lzf_decompress failed");
        benchmark::DoNotOptimize(out.get());
        benchmark::ClobberMemory();
      }
      report_lzf(state, c);
    });
    // liblzf into one buffer allocated before the loop.
    benchmark::RegisterBenchmark(("lzf/liblzf-prealloc/" + c.name).c_str(), [&c](benchmark::State& state) {
      auto out = std::make_unique_for_overwrite<std::uint8_t[]>(c.raw.size());
      for (auto _ : state) {
        const unsigned n = lzf_decompress(c.packed.data(), static_cast<unsigned>(c.packed.size()), out.get(),
                                          static_cast<unsigned>(c.raw.size()));
        if (n != c.raw.size()) state.SkipWithError("lzf_decompress failed");
        benchmark::DoNotOptimize(out.get());
        benchmark::ClobberMemory();
      }
      report_lzf(state, c);
    });
  }
}

struct BlockCase {
  std::string name;
  Vec block;
  velorium::SpectrumParams params;
};

std::vector<BlockCase> profile_cases() {
  std::vector<BlockCase> cases;
  for (const std::size_t points : {100000, 1000000}) {
    const auto intensities = profile_intensities(points, static_cast<std::uint32_t>(points));
    const Vec raw = profile_raw(intensities);
    velorium::SpectrumParams p;
    p.format_id = 1;
    p.point_count = static_cast<std::uint32_t>(points);
    p.uncompressed_byte_count = static_cast<std::uint32_t>(raw.size());
    Vec packed = compress(raw);
    p.byte_count = static_cast<std::uint32_t>(packed.size());
    cases.push_back({"lzf-" + std::to_string(points), std::move(packed), p});
    Vec rle = run_length_block(intensities, 45);
    p.byte_count = static_cast<std::uint32_t>(rle.size());
    cases.push_back({"run-length-" + std::to_string(points), std::move(rle), p});
  }
  return cases;
}

std::vector<BlockCase> peak_cases() {
  std::vector<BlockCase> cases;
  constexpr std::size_t n = 100000;
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> time(20000.0, 520000.0);
  std::vector<double> times(n);
  for (auto& t : times) t = time(rng);
  std::sort(times.begin(), times.end());
  velorium::SpectrumParams p;
  p.point_count = n;
  Vec format2, format3;
  for (double t : times) put_f64(format2, t);
  for (std::size_t i = 0; i < n; ++i) put_f32(format2, static_cast<float>(i % 1000));
  for (std::size_t i = 0; i < n; ++i) {
    put_f64(format3, 50.0 + 0.03 * static_cast<double>(i));
    put_f32(format3, static_cast<float>(i % 1000));
  }
  p.format_id = 2;
  cases.push_back({"format2-100000", std::move(format2), p});
  p.format_id = 3;
  cases.push_back({"format3-100000", std::move(format3), p});
  return cases;
}

void register_blocks(const std::vector<BlockCase>& profiles, const std::vector<BlockCase>& peaks,
                     const calibration::TofCalibration& cal) {
  for (const BlockCase& c : profiles) {
    benchmark::RegisterBenchmark(("profile/" + c.name).c_str(), [&c, &cal](benchmark::State& state) {
      for (auto _ : state) {
        auto peaks = msprofile::decode_profile_block(c.block, c.params, cal);
        if (!peaks) state.SkipWithError(peaks.error().display().c_str());
        benchmark::DoNotOptimize(peaks->mz.data());
        benchmark::ClobberMemory();
      }
      state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * c.params.point_count);
      state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(c.block.size()));
    });
  }
  for (const BlockCase& c : peaks) {
    benchmark::RegisterBenchmark(("peak/" + c.name).c_str(), [&c, &cal](benchmark::State& state) {
      for (auto _ : state) {
        auto peaks = mspeak::decode_peak_block(c.block, c.params, &cal);
        if (!peaks) state.SkipWithError(peaks.error().display().c_str());
        benchmark::DoNotOptimize(peaks->mz.data());
        benchmark::ClobberMemory();
      }
      state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * c.params.point_count);
      state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(c.block.size()));
    });
  }
}

// The console report, then the speed of velorium's LZF decoder over
// liblzf's per block (from the median when runs are repeated).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool aggregate = run.run_type == Run::RT_Aggregate;
      if (aggregate && run.aggregate_name != "median") continue;
      if (!aggregate && run.repetitions > 1) continue;
      const std::string name = run.run_name.function_name;
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates_[name] = it->second;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nDecompressed bytes per second (median of the repetitions, if any)\n");
    std::printf("%-22s %14s %14s %14s %10s %10s\n", "LZF block", "velorium", "liblzf", "liblzf-prealloc",
                "vs liblzf", "vs prealloc");
    for (const auto& [name, ours] : rates_) {
      constexpr std::string_view prefix = "lzf/velorium/";
      if (name.rfind(prefix, 0) != 0) continue;
      const std::string shape = name.substr(prefix.size());
      const double theirs = rate("lzf/liblzf/" + shape);
      const double prealloc = rate("lzf/liblzf-prealloc/" + shape);
      constexpr double kMiB = 1024.0 * 1024.0;
      std::printf("%-22s %9.0fMiB/s %9.0fMiB/s %9.0fMiB/s %9.2fx %9.2fx\n", shape.c_str(), ours / kMiB,
                  theirs / kMiB, prealloc / kMiB, theirs > 0 ? ours / theirs : 0.0,
                  prealloc > 0 ? ours / prealloc : 0.0);
    }
  }

 private:
  double rate(const std::string& name) const {
    const auto it = rates_.find(name);
    return it == rates_.end() ? 0.0 : it->second;
  }
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  const auto lzf_blocks = lzf_cases();
  const auto profiles = profile_cases();
  const auto peaks = peak_cases();
  const auto cal = tof_calibration();
  register_lzf(lzf_blocks);
  register_blocks(profiles, peaks, cal);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

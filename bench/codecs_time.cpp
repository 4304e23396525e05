// The C++ side of the codec benchmark (velbench codecs).
//
//   velorium_codecs_time numpress ARRAYS [rounds]
//     ARRAYS: u32 spectrum count, then per spectrum u32 n, n f64 m/z and n
//     f32 intensities (little-endian). Each round encodes every spectrum's
//     m/z with linear and its intensities with slof and with pic, at the
//     optimal fixed points computed per array, as a writer does. Prints
//     one JSON line: per codec the CPU seconds of the best and the median
//     round, the wall-clock seconds of the best round in wall-clock time,
//     the values per round and the bytes written per round.
//   velorium_codecs_time sha1 MIB [rounds]
//     SHA-1 of a buffer of MIB mebibytes of pseudo-random bytes; one JSON
//     line with the CPU seconds of the best and the median round, the
//     wall-clock seconds of the best round in wall-clock time, and the CPU
//     seconds of the best round of the portable block function alone.
//
// Everything runs on one thread. CPU time of the process is the figure a
// shared machine disturbs least; wall-clock time is kept beside it.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "velorium/output/numpress.hpp"
#include "velorium/output/sha1.hpp"

namespace {

namespace numpress = velorium::output::numpress;

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Timing {
  double best = 0;       // CPU seconds
  double median = 0;     // CPU seconds
  double wall_best = 0;  // wall-clock seconds
};

// Runs `round` `rounds` times; the best and the median CPU time, and the best wall-clock time.
Timing time_rounds(int rounds, const std::function<void()>& round) {
  std::vector<double> seconds;
  double wall_best = 0;
  for (int r = 0; r < rounds; ++r) {
    const double start = cpu_seconds();
    const auto wall_start = std::chrono::steady_clock::now();
    round();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    seconds.push_back(cpu_seconds() - start);
    wall_best = r == 0 ? wall : std::min(wall_best, wall);
  }
  std::sort(seconds.begin(), seconds.end());
  return {seconds.front(), seconds[seconds.size() / 2], wall_best};
}

struct Spectrum {
  std::vector<double> mz;
  std::vector<float> intensity;
};

bool read_arrays(const char* path, std::vector<Spectrum>& spectra) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t at = 0;
  const auto take = [&](void* to, std::size_t n) {
    if (bytes.size() - at < n) return false;
    if (n != 0) std::memcpy(to, bytes.data() + at, n);
    at += n;
    return true;
  };
  std::uint32_t count = 0;
  if (!take(&count, 4)) return false;
  spectra.resize(count);
  for (auto& s : spectra) {
    std::uint32_t n = 0;
    if (!take(&n, 4) || (bytes.size() - at) / 12 < n) return false;
    s.mz.resize(n);
    s.intensity.resize(n);
    if (!take(s.mz.data(), 8 * std::size_t{n}) || !take(s.intensity.data(), 4 * std::size_t{n})) return false;
  }
  return at == bytes.size();
}

int numpress_main(const char* path, int rounds) {
  std::vector<Spectrum> spectra;
  if (!read_arrays(path, spectra)) {
    std::fprintf(stderr, "%s: not an arrays file\n", path);
    return 1;
  }
  std::size_t values = 0;
  for (const auto& s : spectra) values += s.mz.size();
  std::vector<std::uint8_t> out;
  std::size_t bytes = 0;
  bool failed = false;
  const auto codec = [&](const char* name, auto encode_one) {
    const Timing t = time_rounds(rounds, [&] {
      bytes = 0;
      for (const auto& s : spectra) {
        out.clear();
        failed |= !encode_one(s, out);
        bytes += out.size();
      }
    });
    std::printf("\"%s\": {\"best\": %.9g, \"median\": %.9g, \"wall_best\": %.9g, \"values\": %zu, "
                "\"bytes\": %zu}",
                name, t.best, t.median, t.wall_best, values, bytes);
  };
  std::printf("{");
  codec("linear", [](const Spectrum& s, std::vector<std::uint8_t>& o) {
    return numpress::encode_linear(s.mz, numpress::optimal_linear_fixed_point(s.mz), o).has_value();
  });
  std::printf(", ");
  codec("slof", [](const Spectrum& s, std::vector<std::uint8_t>& o) {
    return numpress::encode_slof(s.intensity, numpress::optimal_slof_fixed_point(s.intensity), o).has_value();
  });
  std::printf(", ");
  codec("pic", [](const Spectrum& s, std::vector<std::uint8_t>& o) {
    return numpress::encode_pic(s.intensity, o).has_value();
  });
  std::printf(", \"rounds\": %d}\n", rounds);
  if (failed) {
    std::fprintf(stderr, "an array could not be encoded\n");
    return 1;
  }
  return 0;
}

int sha1_main(std::size_t mib, int rounds) {
  std::vector<std::uint8_t> buffer(mib << 20);
  std::mt19937_64 random(1);
  for (std::size_t i = 0; i + 8 <= buffer.size(); i += 8) {
    const std::uint64_t v = random();
    std::memcpy(buffer.data() + i, &v, 8);
  }
  std::string hex;
  const Timing t = time_rounds(rounds, [&] {
    velorium::output::Sha1 sha1;
    sha1.update(buffer);
    hex = sha1.hex_digest();
  });
  // The portable block function alone, whatever the processor has.
  velorium::output::sha1_blocks::State state{};
  const Timing portable = time_rounds(rounds, [&] {
    velorium::output::sha1_blocks::portable(state, buffer.data(), buffer.size() / 64);
  });
  std::printf("{\"bytes\": %zu, \"best\": %.9g, \"median\": %.9g, \"wall_best\": %.9g, \"portable_best\": %.9g, "
              "\"accelerated\": %s, \"rounds\": %d, \"digest\": \"%s\", \"state0\": %u}\n",
              buffer.size(), t.best, t.median, t.wall_best, portable.best,
              velorium::output::sha1_blocks::accelerated() ? "true" : "false", rounds, hex.c_str(), state[0]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view what = argc > 2 ? argv[1] : "";
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  if (what == "numpress") return numpress_main(argv[2], rounds);
  if (what == "sha1") return sha1_main(static_cast<std::size_t>(std::max(1, std::atoi(argv[2]))), rounds);
  std::fprintf(stderr, "usage: %s numpress ARRAYS [rounds] | sha1 MIB [rounds]\n", argv[0]);
  return 2;
}

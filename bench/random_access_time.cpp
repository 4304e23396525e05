// The C++ side of the random-access benchmark: opens an acquisition and
// decodes the scans whose indices are read from standard input (one per
// line), in that order, with Reader::spectrum, `rounds` times. Prints one
// JSON line: the best and the median wall-clock seconds of a round, the
// least CPU seconds of a round, and the points decoded per round.
//
//   velorium_spectrum_time ACQUISITION [rounds] [profile|centroid] < indices
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string_view>
#include <vector>

#include "velorium/reader.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ACQUISITION [rounds] [profile|centroid] < indices\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const auto prefer = argc > 3 && std::string_view(argv[3]) == "centroid" ? velorium::BlockPreference::Centroid
                                                                          : velorium::BlockPreference::Profile;
  auto reader = velorium::Reader::open(argv[1]);
  if (!reader) {
    std::fprintf(stderr, "%s\n", reader.error().display().c_str());
    return 1;
  }
  std::vector<std::size_t> indices;
  for (std::size_t i; std::cin >> i;) {
    if (i >= reader->scan_count()) {
      std::fprintf(stderr, "index %zu out of range\n", i);
      return 2;
    }
    indices.push_back(i);
  }
  std::vector<double> seconds;
  double cpu_min = 0.0;
  std::size_t points = 0;
  for (int round = 0; round < rounds; ++round) {
    points = 0;
    const std::clock_t cpu_start = std::clock();
    const auto start = std::chrono::steady_clock::now();
    for (const std::size_t i : indices) {
      auto spectrum = reader->spectrum(i, prefer);
      if (!spectrum) {
        std::fprintf(stderr, "%s\n", spectrum.error().display().c_str());
        return 1;
      }
      points += spectrum->mz.size();
    }
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    cpu_min = round == 0 ? cpu : std::min(cpu_min, cpu);
  }
  std::sort(seconds.begin(), seconds.end());
  std::printf("{\"spectra\": %zu, \"points\": %zu, \"rounds\": %d, \"min\": %.9g, \"median\": %.9g, "
              "\"cpu_min\": %.9g}\n",
              indices.size(), points, rounds, seconds.front(), seconds[seconds.size() / 2], cpu_min);
  return 0;
}

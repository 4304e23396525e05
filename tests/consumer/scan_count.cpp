// Prints the number of scans of an acquisition folder after decoding every
// spectrum of it: the smallest program that uses the installed library.
// Exits with 1 and the library's message when the acquisition cannot be
// opened or a spectrum fails to decode.
#include <cstdio>

#include <velorium/reader.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: scan_count ACQUISITION.d\n");
    return 2;
  }
  auto reader = velorium::Reader::open(argv[1]);
  if (!reader) {
    std::fprintf(stderr, "%s\n", reader.error().display().c_str());
    return 1;
  }
  for (std::size_t i = 0; i < reader->scan_count(); ++i) {
    auto spectrum = reader->spectrum(i);
    if (!spectrum) {
      std::fprintf(stderr, "%s\n", spectrum.error().display().c_str());
      return 1;
    }
  }
  std::printf("%zu\n", reader->scan_count());
  return 0;
}

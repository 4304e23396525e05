// Prints the number of scans of an acquisition folder: the smallest program
// that opens an acquisition through the installed library.
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
  std::printf("%zu\n", reader->scan_count());
  return 0;
}

// ravmolt-buffer-speed rounds file...: the C interface's in-memory decode on each compressed file,
// the call the WebAssembly module makes, timed `rounds` times into a sink that keeps nothing.
// Prints, per file, its name and the median speed in MiB/s of output.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "ravmolt/ravmolt_c.h"

namespace {

int countBlock(void* context, const unsigned char*, size_t size) {
  *static_cast<std::size_t*>(context) += size;
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ravmolt-buffer-speed rounds file...\n");
    return 2;
  }
  const int rounds = std::max(1, std::atoi(argv[1]));
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::vector<char> file{std::istreambuf_iterator<char>(in), {}};
    std::vector<double> speeds;
    for (int round = 0; round < rounds; ++round) {
      std::size_t produced = 0;
      const auto start = std::chrono::steady_clock::now();
      const ravmolt_status status =
          ravmolt_decompress_buffer(file.data(), file.size(), countBlock, &produced);
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      if (status != RAVMOLT_SUCCESS) {
        std::fprintf(stderr, "%s: %s\n", argv[i], ravmolt_status_text(status));
        return 1;
      }
      speeds.push_back(static_cast<double>(produced) / (1 << 20) / took.count());
    }
    std::sort(speeds.begin(), speeds.end());
    std::printf("%s %.1f\n", argv[i], speeds[speeds.size() / 2]);
  }
  return 0;
}

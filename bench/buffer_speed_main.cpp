// ravmolt-buffer-speed rounds file...: the C interface's in-memory decode on each compressed file,
// the call the WebAssembly module makes, timed `rounds` times two ways: into a sink that keeps
// nothing (the engine alone), and into a new buffer of the output's size (what the module's
// decompress() does), through the portable decode loops, which are what WebAssembly runs, or with
// --native through the loops this processor's features choose (to compare two builds of the
// engine on one machine, Linux and Windows). Prints, per file, its name and the two median speeds
// in MiB/s of output.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

#include "engine/platform/cpu_features.h"
#include "ravmolt/ravmolt_c.h"

namespace {

struct Collector {
  bool keep = false;
  std::size_t produced = 0;
  std::vector<unsigned char> output;
};

int takeBlock(void* context, const unsigned char* data, size_t size) {
  auto& collector = *static_cast<Collector*>(context);
  collector.produced += size;
  if (collector.keep) collector.output.insert(collector.output.end(), data, data + size);
  return 1;
}

// The median speed of `rounds` decodes of `file`, in MiB/s of output, kept in a buffer reserved
// for `size` bytes or not kept; negative when the file does not decode.
double medianSpeed(const std::vector<char>& file, int rounds, bool keep, std::size_t size) {
  std::vector<double> speeds;
  for (int round = 0; round < rounds; ++round) {
    Collector collector;
    collector.keep = keep;
    if (keep) collector.output.reserve(size);
    const auto start = std::chrono::steady_clock::now();
    const ravmolt_status status =
        ravmolt_decompress_buffer(file.data(), file.size(), takeBlock, &collector);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (status != RAVMOLT_SUCCESS) return -1;
    speeds.push_back(static_cast<double>(collector.produced) / (1 << 20) / took.count());
  }
  std::sort(speeds.begin(), speeds.end());
  return speeds[speeds.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const bool native = argc > 1 && std::string_view(argv[1]) == "--native";
  if (native) {
    --argc;
    ++argv;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: ravmolt-buffer-speed [--native] rounds file...\n");
    return 2;
  }
  if (!native) ravmolt::limitCpuFeatures(0);
  const int rounds = std::max(1, std::atoi(argv[1]));
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::vector<char> file{std::istreambuf_iterator<char>(in), {}};
    Collector sizing;
    (void)ravmolt_decompress_buffer(file.data(), file.size(), takeBlock, &sizing);
    const double alone = medianSpeed(file, rounds, false, 0);
    const double kept = medianSpeed(file, rounds, true, sizing.produced);
    if (alone < 0 || kept < 0) {
      std::fprintf(stderr, "ravmolt-buffer-speed: %s does not decode\n", argv[i]);
      return 1;
    }
    std::printf("%s %.1f %.1f\n", argv[i], alone, kept);
  }
  return 0;
}

// ravmolt-encode [--descending] input output: writes `input` in the compressed format, for tests,
// samples and benchmarks. Not installed.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "tools/encoder.h"

int main(int argc, char** argv) {
  auto order = ravmolt::tools::TableOrder::ascending;
  int first = 1;
  if (argc == 4 && std::strcmp(argv[1], "--descending") == 0) {
    order = ravmolt::tools::TableOrder::descending;
    first = 2;
  }
  if (argc - first != 2) {
    std::fprintf(stderr, "usage: ravmolt-encode [--descending] input output\n");
    return 2;
  }
  std::ifstream in(argv[first], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "ravmolt-encode: cannot read %s\n", argv[first]);
    return 1;
  }
  const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in), {}};
  const auto encoded = ravmolt::tools::encode(data, order);
  if (!encoded) {
    std::fprintf(stderr, "ravmolt-encode: input too large for the format\n");
    return 1;
  }
  std::ofstream out(argv[first + 1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(encoded->data()),
            static_cast<std::streamsize>(encoded->size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "ravmolt-encode: cannot write %s\n", argv[first + 1]);
    return 1;
  }
  return 0;
}

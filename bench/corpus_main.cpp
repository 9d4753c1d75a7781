// ravmolt-corpus kind size output: writes `size` bytes of a synthetic corpus (see tools/corpus.h)
// for the whole-process benchmark. The extra kind "steep" is byte k with probability
// (3/4)(1/4)^k, about 1.3 bits a byte, so that more than 1 GiB of output fits in one file.
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "tools/corpus.h"

namespace {

bool writeAll(std::FILE* file, const std::vector<std::uint8_t>& data) {
  return std::fwrite(data.data(), 1, data.size(), file) == data.size();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: ravmolt-corpus kind size output\n");
    return 2;
  }
  const std::string_view kind = argv[1];
  const auto size = static_cast<std::size_t>(std::strtoull(argv[2], nullptr, 10));
  std::FILE* file = std::fopen(argv[3], "wb");
  if (file == nullptr) return 1;
  bool ok = true;
  constexpr std::size_t kChunk = std::size_t{16} << 20;
  if (kind == "steep") {
    std::uint64_t state = 42;
    std::vector<std::uint8_t> chunk;
    for (std::size_t done = 0; done < size && ok; done += chunk.size()) {
      chunk.resize(std::min(kChunk, size - done));
      for (auto& byte : chunk) {
        // xorshift64; two random words ANDed give bits that are 1 with probability 1/4.
        std::uint64_t a = (state ^= state << 13, state ^= state >> 7, state ^= state << 17);
        std::uint64_t b = (state ^= state << 13, state ^= state >> 7, state ^= state << 17);
        byte = static_cast<std::uint8_t>(std::countr_one(a & b));
      }
      ok = writeAll(file, chunk);
    }
  } else {
    bool known = false;
    for (const auto candidate : ravmolt::tools::kCorpusKinds) {
      if (ravmolt::tools::corpusName(candidate) != kind) continue;
      known = true;
      ok = writeAll(file, ravmolt::tools::makeCorpus(candidate, size, 1));
    }
    if (!known) {
      std::fprintf(stderr, "ravmolt-corpus: unknown kind %s\n", argv[1]);
      ok = false;
    }
  }
  return std::fclose(file) == 0 && ok ? 0 : 1;
}

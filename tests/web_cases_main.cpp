// ravmolt-web-cases folder: writes the inputs that the WebAssembly module's tests decode, made with
// the native build's own encoder and judged by the reference decoder:
//   sweep.bin    every input of the malformed-input sweep with its reference outcome, as records
//                of u32 input length, the input, u8 valid (1) or not (0), u32 output length and
//                the output, integers little-endian;
//   shapes/*.rvm files of every tree shape, for the tests that compare the module with the
//                native tool.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/reference_decode.h"
#include "tests/code_shapes.h"
#include "tests/malformed_sweep.h"
#include "tools/corpus.h"
#include "tools/encoder.h"

namespace {

using ravmolt::testing::Bytes;
namespace fs = std::filesystem;

void appendLength(Bytes& out, std::size_t size) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
}

void appendRecord(Bytes& out, const Bytes& input, const ravmolt::checks::Expected& expected) {
  appendLength(out, input.size());
  out.insert(out.end(), input.begin(), input.end());
  out.push_back(expected.valid ? 1 : 0);
  appendLength(out, expected.output.size());
  out.insert(out.end(), expected.output.begin(), expected.output.end());
}

Bytes sweepRecords() {
  Bytes records;
  ravmolt::checks::MemoryDestination memory;
  for (const auto& seed : ravmolt::sweep::seeds()) {
    for (const Bytes& input : ravmolt::sweep::damagedVersions(seed.bytes)) {
      appendRecord(records, input, ravmolt::checks::referenceDecode(input, memory));
    }
  }
  return records;
}

constexpr std::size_t kSize = std::size_t{600} << 10;

struct Shape {
  std::string name;
  Bytes file;
};

Bytes repeated(const Bytes& unit, std::size_t size) {
  Bytes out;
  while (out.size() < size) out.insert(out.end(), unit.begin(), unit.end());
  out.resize(size);
  return out;
}

// Each kind of tree the decoder meets: the corpus shapes, the code lengths that stress its
// lookup tables (codes longer than one lookup, 39 and 255 bits deep), one symbol, none, and a
// table stored in descending order. Large enough to cross several of the sink's blocks.
std::vector<Shape> shapes() {
  using namespace ravmolt;
  std::vector<Shape> all;
  for (const auto kind : tools::kCorpusKinds) {
    all.push_back({std::string(tools::corpusName(kind)),
                   tools::encode(tools::makeCorpus(kind, kSize, 7)).value()});
  }
  const auto withCounts = [](const FrequencyTable& counts, std::uint32_t seed,
                             std::size_t size = kSize) {
    return tools::encodeWithTable(counts, testing::randomSymbols(counts, size, seed)).value();
  };
  all.push_back({"three-bit", withCounts(testing::threeBitCounts(), 1)});
  all.push_back({"never-in-step", withCounts(testing::neverInStepCounts(), 2)});
  all.push_back({"many-long-codes", withCounts(testing::manyLongCodesCounts(), 3)});
  all.push_back({"fibonacci-39-bit", withCounts(tools::fibonacciCounts(), 4)});
  FrequencyTable deep;
  deep.fill(INT32_MAX);  // every pairing wraps: codes of 1 to 255 bits, 128 on average
  all.push_back({"deep-255-bit", withCounts(deep, 5, kSize / 8)});
  all.push_back({"single-symbol", tools::encode(Bytes(kSize, 'A')).value()});
  all.push_back({"empty", tools::encode({}).value()});
  const Bytes phrase = sweep::text("mississippi river, ");
  all.push_back({"descending-table",
                 tools::encode(repeated(phrase, kSize), tools::TableOrder::descending).value()});
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ravmolt-web-cases folder\n");
    return 2;
  }
  const fs::path folder = argv[1];
  std::error_code error;
  fs::create_directories(folder / "shapes", error);
  if (error) {
    std::fprintf(stderr, "ravmolt-web-cases: cannot create %s\n", argv[1]);
    return 1;
  }
  ravmolt::testing::writeBytes(folder / "sweep.bin", sweepRecords());
  for (const Shape& shape : shapes()) {
    ravmolt::testing::writeBytes(folder / "shapes" / (shape.name + ".rvm"), shape.file);
  }
  return 0;
}

// The engine in memory, one thread: the fast decoder (the whole decode, header to last byte) and
// the reference tree walk, on one synthetic file per corpus kind, plus any compressed files given
// on the command line, and the building of each file's lookup tables. Output goes to a sink that
// drops it, so only decoding is measured.
//
//   ravmolt_bench [benchmark flags] [--cpu-features=MASK] [file.rvm ...]
//
// --cpu-features limits the processor features the decoders may use (cpu_features.h: 0 for the
// portable loops, 1 for x86-64-v3, 3 with packed stores, 7 with byte permutes too), so that each
// set of decode loops can be measured on one processor.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/decompressor.h"
#include "engine/fast/decode_loops.h"
#include "engine/fast/decode_table.h"
#include "engine/format/bit_reader.h"
#include "engine/format/reference_walk.h"
#include "tools/corpus.h"
#include "tools/encoder.h"

namespace {

using ravmolt::DecodeStatus;

constexpr std::size_t kCorpusBytes = std::size_t{8} << 20;

bool dropBlock(void* context, const std::uint8_t*, std::size_t size) {
  *static_cast<std::uint64_t*>(context) += size;
  return true;
}

// Decodes a whole compressed file with the production decoder; returns the restored size, or
// nothing when the file is not valid.
std::optional<std::uint64_t> decodeFast(const std::vector<std::uint8_t>& file) {
  std::uint64_t restored = 0;
  ravmolt::SourceStream source(file);
  ravmolt::DestinationStream destination(dropBlock, &restored);
  if (ravmolt::Decompressor(source, destination).decode() != DecodeStatus::success) return {};
  return restored;
}

// The counts of a trusted file's table.
ravmolt::FrequencyTable countsOf(const std::vector<std::uint8_t>& file) {
  const ravmolt::FileHeader header = ravmolt::parseHeader(file.data());
  ravmolt::FrequencyTable frequencies{};
  for (std::size_t offset = 0; offset < static_cast<std::size_t>(header.tableSize);
       offset += ravmolt::kTableEntrySize) {
    const std::uint8_t* entry = file.data() + ravmolt::kHeaderSize + offset;
    frequencies[entry[0]] = ravmolt::readLittleEndian<std::int32_t>(entry + 1);
  }
  return frequencies;
}

// The same file through the reference walk, one tree step per bit. The file is trusted.
std::uint64_t decodeReference(const std::vector<std::uint8_t>& file) {
  std::uint64_t restored = 0;
  const ravmolt::FileHeader header = ravmolt::parseHeader(file.data());
  const ravmolt::FrequencyTable frequencies = countsOf(file);
  ravmolt::NodeArena arena;
  const ravmolt::TreeNode* root = ravmolt::buildTree(frequencies, arena);
  if (root == nullptr) return 0;
  ravmolt::SourceStream source(file);
  ravmolt::DestinationStream destination(dropBlock, &restored);
  source.seek(ravmolt::kHeaderSize + static_cast<std::uint64_t>(header.tableSize));
  ravmolt::BitReader bits(source);
  if (ravmolt::walkTree(root, bits, header.bitCount, destination) != DecodeStatus::success ||
      !destination.flush()) {
    return 0;
  }
  return restored;
}

void runDecoder(benchmark::State& state, const std::vector<std::uint8_t>& file, bool fast) {
  std::uint64_t restored = 0;
  for (auto _ : state) {
    restored = fast ? decodeFast(file).value_or(0) : decodeReference(file);
    benchmark::DoNotOptimize(restored);
  }
  if (restored == 0) state.SkipWithError("the file did not decode");
  state.counters["restored"] = static_cast<double>(restored);  // bytes, once per decode
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * restored));
}

// The lookup tables of a file's tree, with a root of `rootBits`, built again and again into the
// same storage: what every file pays before its first code.
void buildTables(benchmark::State& state, const std::vector<std::uint8_t>& file, int rootBits) {
  ravmolt::NodeArena arena;
  const ravmolt::TreeNode* root = ravmolt::buildTree(countsOf(file), arena);
  if (root == nullptr || ravmolt::isLeaf(root)) {
    state.SkipWithError("the file has no tree with an inner node");
    return;
  }
  ravmolt::DecodeTable table;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.build(root, rootBits));
    benchmark::ClobberMemory();
  }
}

// A file named on the command line, read whole and checked by a decode: the tree walk and the
// table builds trust the files they are given. Nothing, with a message, when it cannot serve.
std::optional<std::vector<std::uint8_t>> readCompressedFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "ravmolt_bench: cannot read %s\n", path);
    return std::nullopt;
  }
  std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), {}};
  if (!decodeFast(file)) {
    std::fprintf(stderr, "ravmolt_bench: %s is not a valid compressed file\n", path);
    return std::nullopt;
  }
  return file;
}

// Files live as long as the benchmarks that use them, each where it was put: a deque keeps every
// element in place as more are added, however many files there are.
std::deque<std::vector<std::uint8_t>>& files() {
  static std::deque<std::vector<std::uint8_t>> storage;
  return storage;
}

void registerFile(const std::string& name, std::vector<std::uint8_t> file) {
  files().push_back(std::move(file));
  const std::vector<std::uint8_t>* stored = &files().back();
  benchmark::RegisterBenchmark(("fast/" + name).c_str(), [stored](benchmark::State& state) {
    runDecoder(state, *stored, true);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(("treeWalk/" + name).c_str(), [stored](benchmark::State& state) {
    runDecoder(state, *stored, false);
  })->Unit(benchmark::kMillisecond);
  for (const int rootBits :
       {ravmolt::DecodeTable::kTableBits, ravmolt::DecodeTable::kSmallRootBits}) {
    benchmark::RegisterBenchmark(
        ("tables" + std::to_string(rootBits) + "/" + name).c_str(),
        [stored, rootBits](benchmark::State& state) { buildTables(state, *stored, rootBits); })
        ->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace

// Takes --cpu-features=MASK out of the arguments and applies it.
void limitFeatures(int& argc, char** argv) {
  constexpr std::string_view kFlag = "--cpu-features=";
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (!argument.starts_with(kFlag)) {
      argv[kept++] = argv[i];
      continue;
    }
    ravmolt::limitCpuFeatures(static_cast<ravmolt::CpuFeatures>(
        std::stoul(std::string(argument.substr(kFlag.size())), nullptr, 0)));
  }
  argc = kept;
  std::fprintf(stderr, "decode loops: %s\n", ravmolt::decodeLoopsFor(ravmolt::cpuFeatures()).name);
}

int main(int argc, char** argv) {
  limitFeatures(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) {
      auto file = readCompressedFile(argv[i]);
      if (!file) return 1;
      registerFile(argv[i], std::move(*file));
    }
  } else {
    for (const auto kind : ravmolt::tools::kCorpusKinds) {
      const auto data = ravmolt::tools::makeCorpus(kind, kCorpusBytes, 1);
      auto file = ravmolt::tools::encode(data);
      if (!file) return 1;
      registerFile(std::string(ravmolt::tools::corpusName(kind)), std::move(*file));
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

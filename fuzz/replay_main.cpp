// Runs a fuzz target without libFuzzer, so the checked-in corpus is replayed by CTest with any
// compiler: every file named (or every file in a folder named) goes through the target once, and
// with --mutations N also N deterministic variants of it (bit flips, byte changes, cuts, repeats,
// insertions) from a fixed seed, so every run replays the same inputs. A target with a mutator of
// its own (LLVMFuzzerCustomMutator) makes every other variant, with these mutations standing in
// for libFuzzer's own.
//
//   replay_decode [--mutations N] [--keep FILE] corpus/decode
//
// With --keep, each input is written to FILE before it runs, so a failing one is left there.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" [[gnu::weak]] std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                                             std::size_t maxSize,
                                                             unsigned int seed);

namespace {

// Inputs grow no larger than this, as libFuzzer's default -max_len keeps them.
constexpr std::size_t kMaxInput = 4096;
std::mt19937 replayRandom(20021);

// The whole file, or nothing when it cannot be read.
std::optional<std::vector<std::uint8_t>> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<std::uint8_t>{std::istreambuf_iterator<char>(in), {}};
}

void mutate(std::vector<std::uint8_t>& bytes, std::mt19937& random) {
  const auto pick = [&](std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound)(random);
  };
  switch (pick(4)) {
    case 0:  // flip one bit
      if (!bytes.empty()) bytes[pick(bytes.size() - 1)] ^= static_cast<std::uint8_t>(1U << pick(7));
      break;
    case 1:  // set one byte
      if (!bytes.empty()) bytes[pick(bytes.size() - 1)] = static_cast<std::uint8_t>(pick(255));
      break;
    case 2:  // cut the end off
      bytes.resize(pick(bytes.size()));
      break;
    case 3: {  // repeat a stretch at the end
      if (bytes.empty()) break;
      const std::size_t from = pick(bytes.size() - 1);
      const std::size_t length = std::min<std::size_t>(pick(64), bytes.size() - from);
      bytes.insert(bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from),
                   bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
      break;
    }
    default: {  // insert random bytes
      const std::size_t at = pick(bytes.size());
      std::vector<std::uint8_t> extra(pick(16));
      for (auto& byte : extra) byte = static_cast<std::uint8_t>(pick(255));
      bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), extra.begin(), extra.end());
    }
  }
}

}  // namespace

// What libFuzzer offers a custom mutator: its own mutations, here the replay's.
extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize) {
  std::vector<std::uint8_t> bytes(data, data + size);
  mutate(bytes, replayRandom);
  bytes.resize(std::min(bytes.size(), maxSize));
  std::copy(bytes.begin(), bytes.end(), data);
  return bytes.size();
}

int main(int argc, char** argv) {
  long count = 0;
  const char* keep = nullptr;
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mutations" && i + 1 < argc) {
      count = std::strtol(argv[++i], nullptr, 10);
    } else if (arg == "--keep" && i + 1 < argc) {
      keep = argv[++i];
    } else if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else {
      files.push_back(arg);
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "replay: no input files\n");
    return 2;
  }

  const auto run = [keep](const std::vector<std::uint8_t>& input) {
    if (keep != nullptr) {
      std::ofstream(keep, std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(input.data()),
                 static_cast<std::streamsize>(input.size()));
    }
    LLVMFuzzerTestOneInput(input.data(), input.size());
  };
  long runs = 0;
  for (const auto& path : files) {
    const std::optional<std::vector<std::uint8_t>> read = readFile(path);
    if (!read) {
      std::fprintf(stderr, "replay: cannot read %s\n", path.string().c_str());
      return 2;
    }
    const std::vector<std::uint8_t>& seed = *read;
    run(seed);
    ++runs;
    std::vector<std::uint8_t> variant = seed;
    for (long m = 0; m < count; ++m) {
      if (m % 8 == 0) variant = seed;  // short chains of mutations, each from the seed
      if (LLVMFuzzerCustomMutator != nullptr && m % 2 == 1) {
        const std::size_t size = variant.size();
        variant.resize(std::max(kMaxInput, size));
        variant.resize(LLVMFuzzerCustomMutator(variant.data(), size, variant.size(),
                                               static_cast<unsigned int>(replayRandom())));
      } else {
        mutate(variant, replayRandom);
      }
      run(variant);
      ++runs;
    }
  }
  std::printf("replayed %ld inputs from %zu files\n", runs, files.size());
  return 0;
}

// ravmolt's engine against huff0, the Huffman coder inside zstd, on the same raw bytes, one
// thread, in memory. huff0 codes blocks of at most 128 KiB, each with its own table, as one
// stream (1X) or four independent ones (4X); its double-symbol decoder (X2) is its fastest.
// A first, uncounted round checks that both restore every byte. Then every round times each
// decoder once per corpus, side by side; the figures are medians, and the ratios medians of the
// round-by-round ratios of speeds (ravmolt / huff0: above 1 is faster).
//
//   ravmolt-huff0 [rounds] [raw files ...]       (default: the synthetic corpora, 64 MiB each)
//
// Built only where Debian's libzstd-dev provides the static library, whose Huffman functions
// are not part of zstd's public header: they are declared here as zstd 1.5.4 defines them.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/decompressor.h"
#include "engine/fast/join_counts.h"
#include "ravmolt/ravmolt.h"
#include "tools/corpus.h"
#include "tools/encoder.h"

extern "C" {
// zstd 1.5.4, lib/common/huf.h (HUF_STATIC_LINKING_ONLY).
using HUF_DTable = std::uint32_t;
using HUF_CElt = std::size_t;
enum HUF_repeat { HUF_repeat_none, HUF_repeat_check, HUF_repeat_valid };
std::size_t HUF_compress1X_repeat(void* dst, std::size_t dstSize, const void* src,
                                  std::size_t srcSize, unsigned maxSymbolValue, unsigned tableLog,
                                  void* workSpace, std::size_t wkspSize, HUF_CElt* hufTable,
                                  HUF_repeat* repeat, int flags);
std::size_t HUF_compress4X_repeat(void* dst, std::size_t dstSize, const void* src,
                                  std::size_t srcSize, unsigned maxSymbolValue, unsigned tableLog,
                                  void* workSpace, std::size_t wkspSize, HUF_CElt* hufTable,
                                  HUF_repeat* repeat, int flags);
std::size_t HUF_readDTableX2_wksp(HUF_DTable* table, const void* src, std::size_t srcSize,
                                  void* workSpace, std::size_t wkspSize, int flags);
std::size_t HUF_decompress1X_usingDTable(void* dst, std::size_t maxDstSize, const void* cSrc,
                                         std::size_t cSrcSize, const HUF_DTable* table, int flags);
std::size_t HUF_decompress4X_usingDTable(void* dst, std::size_t maxDstSize, const void* cSrc,
                                         std::size_t cSrcSize, const HUF_DTable* table, int flags);
unsigned HUF_isError(std::size_t code);
}

namespace {

constexpr std::size_t kBlock = std::size_t{128} << 10;  // huff0's largest block
constexpr unsigned kTableLog = 11;                      // zstd's default for literals
constexpr unsigned kMaxTableLog = 12;
constexpr int kFlagBmi2 = 1;  // the processors measured here all have it

struct HuffBlock {
  std::size_t rawSize;
  std::vector<std::uint8_t> coded;  // the table, then the stream(s); or the one byte of a run
};

// `data` in huff0 blocks of one stream or four; nothing when a block does not compress (huff0
// then leaves it raw, and this comparison is about decoding).
std::vector<HuffBlock> huffEncode(const std::vector<std::uint8_t>& data, bool fourStreams) {
  std::vector<HuffBlock> blocks;
  std::vector<std::uint32_t> workspace(((8 << 10) + 512) / 4 + 64);
  std::vector<HUF_CElt> table(257 + 2);
  for (std::size_t at = 0; at < data.size(); at += kBlock) {
    const std::size_t size = std::min(kBlock, data.size() - at);
    std::vector<std::uint8_t> out(size + size / 8 + 1024);
    HUF_repeat repeat = HUF_repeat_none;
    const std::size_t coded = (fourStreams ? HUF_compress4X_repeat : HUF_compress1X_repeat)(
        out.data(), out.size(), data.data() + at, size, 255, kTableLog, workspace.data(),
        workspace.size() * 4, table.data(), &repeat, 0);
    // A block of one byte value (a run of zeros in an executable) comes back as that byte alone.
    if (HUF_isError(coded) || coded == 0 || coded >= size) return {};
    out.resize(coded);
    blocks.push_back({size, std::move(out)});
  }
  return blocks;
}

// Decodes every block with the double-symbol tables, all into the start of `out` (as ravmolt's
// decodes go into one buffer it reuses), or one after another when `keep` is set; returns the
// bytes restored, or 0.
std::size_t huffDecode(const std::vector<HuffBlock>& blocks, bool fourStreams,
                       std::vector<std::uint8_t>& out, bool keep) {
  std::vector<HUF_DTable> table(1 + (std::size_t{1} << kMaxTableLog));
  std::vector<std::uint32_t> workspace(((2 << 10) + (1 << 9)) / 4 + 64);
  std::size_t done = 0;
  for (const HuffBlock& block : blocks) {
    if (block.coded.size() == 1) {
      std::memset(out.data() + (keep ? done : 0), block.coded[0], block.rawSize);
      done += block.rawSize;
      continue;
    }
    table[0] = kMaxTableLog * 0x01000001U;
    const std::size_t header =
        HUF_readDTableX2_wksp(table.data(), block.coded.data(), block.coded.size(),
                              workspace.data(), workspace.size() * 4, kFlagBmi2);
    if (HUF_isError(header)) return 0;
    const std::size_t got =
        (fourStreams ? HUF_decompress4X_usingDTable : HUF_decompress1X_usingDTable)(
            out.data() + (keep ? done : 0), block.rawSize, block.coded.data() + header,
            block.coded.size() - header, table.data(), kFlagBmi2);
    if (HUF_isError(got) || got != block.rawSize) return 0;
    done += got;
  }
  return done;
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Corpus {
  std::string name;
  std::vector<std::uint8_t> raw;
  std::vector<std::uint8_t> rvm;
  std::vector<HuffBlock> one;
  std::vector<HuffBlock> four;
};

bool dropBlock(void*, const std::uint8_t*, std::size_t) { return true; }

// ravmolt's output, compared block by block with the raw bytes, in the uncounted round.
bool restoresExactly(const Corpus& corpus) {
  std::size_t at = 0;
  const auto compare = [&](const std::uint8_t* data, std::size_t size) {
    if (size > corpus.raw.size() - at || !std::equal(data, data + size, corpus.raw.begin() + at))
      return false;
    at += size;
    return true;
  };
  return ravmolt::decompressBuffer(corpus.rvm, compare) == ravmolt::DecodeStatus::success &&
         at == corpus.raw.size();
}

// In a build that counts joins: one decode of each corpus on one thread and one on two, with how
// often their guesses fell into step.
void printJoinCounts(const std::vector<Corpus>& corpora) {
  if constexpr (!ravmolt::kCountJoins) return;
  std::printf("\nJoins (one decode on one thread, one on two):\n");
  std::printf("| %-20s | %7s | %8s | %7s | %10s | %9s | %9s |\n", "corpus", "blocks", "unjoined",
              "gave up", "lane share", "2T joins", "2T failed");
  for (const Corpus& corpus : corpora) {
    ravmolt::takeJoinCounts();
    for (const unsigned threads : {1U, 2U}) {
      std::uint64_t restored = 0;
      ravmolt::SourceStream source(corpus.rvm);
      ravmolt::DestinationStream destination(
          [](void* context, const std::uint8_t*, std::size_t size) {
            *static_cast<std::uint64_t*>(context) += size;
            return true;
          },
          &restored);
      if (ravmolt::Decompressor(source, destination, threads).decode() !=
          ravmolt::DecodeStatus::success) {
        std::printf("| %-20s | did not decode\n", corpus.name.c_str());
      }
      if (threads == 2) break;
      const ravmolt::JoinCounts one = ravmolt::takeJoinCounts();
      const double bits = static_cast<double>(one.laneBits + one.chainBits);
      std::printf("| %-20s | %7llu | %8llu | %7llu | %9.1f%% |", corpus.name.c_str(),
                  static_cast<unsigned long long>(one.laneBlocks),
                  static_cast<unsigned long long>(one.unjoinedBlocks),
                  static_cast<unsigned long long>(one.lanesGivenUp),
                  bits > 0 ? 100 * static_cast<double>(one.laneBits) / bits : 0.0);
    }
    const ravmolt::JoinCounts two = ravmolt::takeJoinCounts();
    std::printf(" %9llu | %9llu |\n", static_cast<unsigned long long>(two.segmentJoins),
                static_cast<unsigned long long>(two.unjoinedSegments));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  std::vector<Corpus> corpora;
  if (argc > 2) {
    for (int i = 2; i < argc; ++i) {
      std::ifstream in(argv[i], std::ios::binary);
      corpora.push_back({argv[i], {std::istreambuf_iterator<char>(in), {}}, {}, {}, {}});
    }
  } else {
    for (const auto kind : ravmolt::tools::kCorpusKinds) {
      if (kind == ravmolt::tools::CorpusKind::randomBytes) continue;  // huff0 stores it raw
      corpora.push_back({std::string(ravmolt::tools::corpusName(kind)),
                         ravmolt::tools::makeCorpus(kind, std::size_t{64} << 20, 1),
                         {},
                         {},
                         {}});
    }
  }
  for (Corpus& corpus : corpora) {
    corpus.rvm = ravmolt::tools::encode(corpus.raw).value();
    corpus.one = huffEncode(corpus.raw, false);
    corpus.four = huffEncode(corpus.raw, true);
  }
  std::vector<std::uint8_t> out;
  std::printf("%d rounds, one thread, in memory; GiB/s of output (medians)\n", rounds);
  std::printf("| %-20s | %8s | %8s | %8s | %11s | %11s |\n", "corpus", "ravmolt", "huff0 1X2",
              "huff0 4X2", "ravmolt/1X2", "ravmolt/4X2");
  for (Corpus& corpus : corpora) {
    if (corpus.one.empty() || corpus.four.empty()) {
      std::printf("| %-20s | huff0 leaves it uncompressed\n", corpus.name.c_str());
      continue;
    }
    out.resize(std::max(out.size(), corpus.raw.size()));
    std::vector<double> rav, one, four, vsOne, vsFour;
    const double gib = static_cast<double>(corpus.raw.size()) / (1 << 30);
    for (int round = 0; round <= rounds; ++round) {  // round 0 is not counted
      auto start = std::chrono::steady_clock::now();
      if (ravmolt::decompressBuffer(corpus.rvm, dropBlock, nullptr) !=
          ravmolt::DecodeStatus::success) {
        return 1;
      }
      const double r = gib / seconds(start);
      start = std::chrono::steady_clock::now();
      if (huffDecode(corpus.one, false, out, round == 0) != corpus.raw.size()) return 1;
      const double o = gib / seconds(start);
      start = std::chrono::steady_clock::now();
      if (huffDecode(corpus.four, true, out, round == 0) != corpus.raw.size()) return 1;
      const double f = gib / seconds(start);
      if (round == 0) {
        const char* wrong = !std::equal(corpus.raw.begin(), corpus.raw.end(), out.begin()) ? "huff0"
                            : !restoresExactly(corpus) ? "ravmolt"
                                                       : nullptr;
        if (wrong != nullptr) {
          std::fprintf(stderr, "%s: %s did not restore the raw bytes\n", corpus.name.c_str(),
                       wrong);
          return 1;
        }
        continue;
      }
      rav.push_back(r);
      one.push_back(o);
      four.push_back(f);
      vsOne.push_back(r / o);
      vsFour.push_back(r / f);
    }
    std::printf("| %-20s | %8.2f | %8.2f | %8.2f | %11.2f | %11.2f |\n", corpus.name.c_str(),
                median(rav), median(one), median(four), median(vsOne), median(vsFour));
  }
  printJoinCounts(corpora);
  return 0;
}

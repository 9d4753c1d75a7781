// Writes the seed corpus of the fuzz targets with the project's own encoder:
//   ravmolt-fuzz-seeds samples/lighthouse.txt fuzz/corpus
// Re-run it when the target input layouts change; its output is checked in.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "tools/encoder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

void write(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void appendCount(Bytes& out, std::int32_t count) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(count) >> (8 * i)));
}

Bytes encoded(const ravmolt::FrequencyTable& counts, const Bytes& data,
              ravmolt::tools::TableOrder order = ravmolt::tools::TableOrder::ascending) {
  return ravmolt::tools::encodeWithTable(counts, data, order).value();
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  using ravmolt::tools::TableOrder;
  if (argc != 3) {
    std::fprintf(stderr, "usage: ravmolt-fuzz-seeds sample.txt corpus-folder\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const Bytes sample{std::istreambuf_iterator<char>(in), {}};
  const fs::path root = argv[2];
  const Bytes abracadabra = text("abracadabra");
  Bytes everyByte;
  for (int b = 0; b < 256; ++b) everyByte.push_back(static_cast<std::uint8_t>(b));
  // Every pairing wraps, so each new node is the lightest: a tree as deep as it has symbols less
  // one. 41 symbols give codes of up to 40 bits, read through two chained lookup tables; the
  // 255-bit codes of 256 symbols cost 20 of them, about 2.5 ms a decode in the fuzzing build,
  // and are left to the differential target, which builds each tree's tables once.
  ravmolt::FrequencyTable deep{};
  Bytes deepData;
  for (std::uint8_t b = 0; b < 41; ++b) {
    deep[b] = INT32_MAX;
    deepData.push_back(b);
  }

  // decode: whole compressed files.
  const fs::path decode = root / "decode";
  write(decode / "sample", ravmolt::tools::encode(sample).value());
  write(decode / "abracadabra", ravmolt::tools::encode(abracadabra).value());
  write(decode / "abracadabra-descending",
        ravmolt::tools::encode(abracadabra, TableOrder::descending).value());
  write(decode / "single-symbol", ravmolt::tools::encode(text("AAAA")).value());
  write(decode / "empty", ravmolt::tools::encode({}).value());
  write(decode / "every-byte", ravmolt::tools::encode(everyByte).value());
  write(decode / "deep-tree", encoded(deep, concat(concat(deepData, deepData), deepData)));
  // One table byte: the entry's count is read from the first payload bytes, 04 00 00 00.
  write(decode / "table-size-one", Bytes{0x21, 0x20, 0, 0, 0, 0x01, 0x00, 'A', 0x04, 0, 0, 0});
  write(decode / "header-only", Bytes(7, 0));

  // differential: entry count, flags, entries, payload. Flag 64 takes a short payload through the
  // full root table.
  const fs::path differential = root / "differential";
  write(differential / "abracadabra",
        Bytes{5, 0, 'a', 5, 'b', 2, 'c', 1, 'd', 1, 'r', 2, 0x6E, 0x8A, 0xDC, 0x5B, 0x13, 0xF0});
  write(differential / "single-symbol", Bytes{1, 2, 'A', 4, 0x0F, 0xF0, 0x55});
  write(differential / "two-symbols", Bytes{2, 2 | 64, 'a', 1, 'b', 1, 0xA5, 0x5A, 0xFF, 0x00});
  Bytes deepInput{0, 1};
  for (int b = 0; b < 256; ++b) {
    deepInput.push_back(static_cast<std::uint8_t>(b));
    appendCount(deepInput, INT32_MAX);
  }
  write(differential / "deep-zeros", concat(deepInput, Bytes(40, 0x00)));
  deepInput[1] |= 64;
  write(differential / "deep-ones", concat(deepInput, Bytes(40, 0xFF)));
  Bytes fibonacci{20, 1 | 64};
  for (std::int32_t a = 1, b = 1, s = 0; s < 20; ++s, b = a + b, a = b - a) {
    fibonacci.push_back(static_cast<std::uint8_t>('A' + s));
    appendCount(fibonacci, a);
  }
  write(differential / "fibonacci",
        concat(fibonacci, Bytes{0xFF, 0xFF, 0xFE, 0x7F, 0xFF, 0xFF, 0xFD, 0x00, 0x12}));

  // Long payloads: lengths (a scale and a length within it), file offsets (in 2-byte units) and
  // caps are 3, 2 and 3 bytes.
  const auto le = [](std::uint32_t value, int bytes) {
    Bytes out;
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return out;
  };
  const auto longLength = [&le](std::uint32_t length) {
    std::uint32_t scale = 0;
    while (scale < 7 && (std::uint32_t{1024} << scale) < length) ++scale;
    return le((scale << 20) | (length - 1), 3);
  };
  Bytes flat{0, 0};  // 256 entries of count 1: every code is 8 bits long
  for (int b = 0; b < 256; ++b) flat.insert(flat.end(), {static_cast<std::uint8_t>(b), 1});
  write(differential / "flat", concat(flat, Bytes{0x00, 0x7F, 0x80, 0xFF, 0x12, 0x34}));
  // The file's first buffer (128 KiB) ends 11072 bytes into the payload.
  Bytes longFlat{0, 4 | 8};
  longFlat = concat(concat(concat(longFlat, longLength(20000)), le(60000, 2)),
                    Bytes(flat.begin() + 2, flat.end()));
  write(differential / "long-flat-file", concat(longFlat, text("seed")));
  Bytes threeBit = concat(Bytes{8, 2 | 4 | 32}, longLength(30000));
  for (std::uint8_t symbol = 'a'; symbol < 'a' + 8; ++symbol)
    threeBit.insert(threeBit.end(), {symbol, 3});
  write(differential / "long-three-bit-codes-repeated", concat(threeBit, Bytes{0x05, 0x39, 0x77}));
  // One-bit codes past 64 KiB: the destination is flushed in mid-run, and the sink refuses it.
  Bytes capped = concat(concat(Bytes{2, 4 | 16}, longLength(70000)), le(300000, 3));
  capped.insert(capped.end(), {'a', 1, 'b', 1});
  write(differential / "long-capped-sink", concat(capped, text("x")));
  Bytes boundary = concat(concat(Bytes{5, 2 | 4 | 8}, longLength(20000)), le(60000, 2));
  boundary.insert(boundary.end(), {'a', 5, 'b', 2, 'c', 1, 'd', 1, 'r', 2});
  write(differential / "long-file-buffer-boundary", concat(boundary, text("abracadabra")));
  // Two threads: 40000 bytes in segments 4096 + 37 bytes long, and 50000 bytes of 3-bit codes in
  // segments of 4096 + 1 bytes, which no guessed start joins, so that guessing stops.
  Bytes twoThreads = concat(concat(Bytes{5, 4 | 8 | 128}, longLength(40000)), le(7, 2));
  twoThreads.push_back(37);
  twoThreads.insert(twoThreads.end(), {'a', 5, 'b', 2, 'c', 1, 'd', 1, 'r', 2});
  write(differential / "long-two-threads", concat(twoThreads, text("abracadabra")));
  Bytes twoThreadsOffStep = concat(concat(Bytes{8, 4 | 8 | 128}, longLength(50000)), le(3, 2));
  twoThreadsOffStep.push_back(1);
  for (std::uint8_t symbol = 'a'; symbol < 'a' + 8; ++symbol)
    twoThreadsOffStep.insert(twoThreadsOffStep.end(), {symbol, 3});
  write(differential / "long-two-threads-off-step", concat(twoThreadsOffStep, text("eight")));

  // round_trip: flags, optional table, data.
  const fs::path roundTrip = root / "round_trip";
  write(roundTrip / "sample", concat(Bytes{0}, sample));
  write(roundTrip / "abracadabra-descending", concat(Bytes{1}, abracadabra));
  write(roundTrip / "every-byte", concat(Bytes{3, 0}, everyByte));
  write(roundTrip / "empty", Bytes{0});
  write(roundTrip / "single-symbol", concat(Bytes{0}, Bytes(100, 'x')));
  Bytes wrapping{2, 3};
  for (std::uint8_t symbol : {'a', 'b', 'c'}) {
    wrapping.push_back(symbol);
    appendCount(wrapping, INT32_MAX - symbol);
  }
  write(roundTrip / "wrapping-counts", concat(wrapping, abracadabra));
  return 0;
}

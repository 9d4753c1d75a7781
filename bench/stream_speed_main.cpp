// ravmolt-stream-speed rounds file...: the streaming call against the in-memory one, side by side
// in one run, on each compressed file. Each round decodes the file once with
// ravmolt_decompress_buffer into a sink that keeps nothing, then once with ravmolt_stream_decode
// fed in 64 KiB pieces into 256 KiB of room that is emptied after every call, as a program reading
// a pipe does. Prints, per file, its name, the two median speeds in MiB/s of output and the median
// of the rounds' ratios (streaming / buffer), so that a busy spell of the machine falls on both.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

#include "ravmolt/ravmolt_c.h"

namespace {

std::size_t kPiece = std::size_t{64} << 10;
std::size_t kRoom = std::size_t{256} << 10;

using Clock = std::chrono::steady_clock;

int discard(void* context, const unsigned char*, size_t size) {
  *static_cast<std::size_t*>(context) += size;
  return 1;
}

// Seconds for one decode, or a negative value when it fails; `produced` gets the output's size.
double timeBuffer(const std::vector<unsigned char>& file, std::size_t& produced) {
  produced = 0;
  const auto start = Clock::now();
  const ravmolt_status status =
      ravmolt_decompress_buffer(file.data(), file.size(), discard, &produced);
  const std::chrono::duration<double> took = Clock::now() - start;
  return status == RAVMOLT_SUCCESS ? took.count() : -1;
}

double timeStream(ravmolt_decoder* decoder, const std::vector<unsigned char>& file,
                  std::vector<unsigned char>& room, std::size_t& produced) {
  produced = 0;
  ravmolt_decoder_reset(decoder);
  const auto start = Clock::now();
  std::size_t given = 0;
  ravmolt_input in{file.data(), 0, 0};
  for (;;) {
    if (in.used == in.size && given < file.size()) {
      const std::size_t size = std::min(kPiece, file.size() - given);
      in = {file.data() + given, size, 0};
      given += size;
    }
    ravmolt_output out{room.data(), room.size(), 0};
    const ravmolt_status status =
        ravmolt_stream_decode(decoder, &in, &out, given == file.size() ? 1 : 0);
    produced += out.made;
    if (status == RAVMOLT_SUCCESS) break;
    if (status != RAVMOLT_NEEDS_INPUT && status != RAVMOLT_OUTPUT_PENDING) return -1;
  }
  const std::chrono::duration<double> took = Clock::now() - start;
  return took.count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3 && std::string_view(argv[1]) == "--sizes") {  // piece and room, in bytes
    kPiece = std::strtoull(argv[2], nullptr, 10);
    kRoom = std::strtoull(argv[3], nullptr, 10);
    argc -= 3;
    argv += 3;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: ravmolt-stream-speed rounds file...\n");
    return 2;
  }
  const int rounds = std::max(1, std::atoi(argv[1]));
  ravmolt_decoder* decoder = ravmolt_decoder_create();
  std::vector<unsigned char> room(kRoom);
  if (decoder == nullptr) return 1;
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::vector<unsigned char> file{std::istreambuf_iterator<char>(in), {}};
    std::vector<double> buffer, stream, ratio;
    for (int round = 0; round < rounds; ++round) {
      std::size_t fromBuffer = 0, fromStream = 0;
      const double b = timeBuffer(file, fromBuffer);
      const double s = timeStream(decoder, file, room, fromStream);
      if (b < 0 || s < 0 || fromBuffer != fromStream) {
        std::fprintf(stderr, "ravmolt-stream-speed: %s does not decode\n", argv[i]);
        return 1;
      }
      const double mebibytes = static_cast<double>(fromBuffer) / (1 << 20);
      buffer.push_back(mebibytes / b);
      stream.push_back(mebibytes / s);
      ratio.push_back(b / s);
    }
    std::printf("%s %.1f %.1f %.3f\n", argv[i], median(buffer), median(stream), median(ratio));
  }
  ravmolt_decoder_free(decoder);
  return 0;
}

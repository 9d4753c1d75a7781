// consumer compressedFile fileOutput bufferOutput: restores one compressed file through both calls
// of the installed public interface, the path one into fileOutput and the memory one into
// bufferOutput, and exits 0 only when both succeed.
#include <ravmolt/ravmolt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

bool report(const char* call, ravmolt::DecodeStatus status) {
  if (status == ravmolt::DecodeStatus::success) return true;
  std::printf("%s: %s\n", call, ravmolt::describeStatus(status));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::printf("usage: consumer compressedFile fileOutput bufferOutput\n");
    return 2;
  }
  const bool fileDone = report("decompressFile", ravmolt::decompressFile(argv[1], argv[2]));

  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<std::uint8_t> compressed{std::istreambuf_iterator<char>(in),
                                             std::istreambuf_iterator<char>()};
  std::ofstream out(argv[3], std::ios::binary);
  auto sink = [&out](const std::uint8_t* data, std::size_t size) {
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
  };
  const bool bufferDone = report("decompressBuffer", ravmolt::decompressBuffer(compressed, sink));
  out.close();
  return fileDone && bufferDone && out ? 0 : 1;
}

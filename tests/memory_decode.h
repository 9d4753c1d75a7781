// Runs the whole decoder on a compressed file held in memory and collects what it restores.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/decompressor.h"

namespace ravmolt::testing {

struct Decoded {
  DecodeStatus status = DecodeStatus::success;
  std::vector<std::uint8_t> bytes;  // everything handed to the destination, flushed at the end
};

inline bool collectInto(void* context, const std::uint8_t* data, std::size_t size) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(context);
  out->insert(out->end(), data, data + size);
  return true;
}

// Decodes `file` as the tool does, then flushes whatever is buffered, also after a failure, so a
// byte written before the decoder gave up would show in `bytes`.
inline Decoded decodeInMemory(std::span<const std::uint8_t> file) {
  Decoded result;
  SourceStream source(file);
  DestinationStream destination(collectInto, &result.bytes);
  result.status = Decompressor(source, destination).decode();
  if (!destination.flush() && result.status == DecodeStatus::success) {
    result.status = DecodeStatus::writeFailed;
  }
  return result;
}

inline std::vector<std::uint8_t> bytesOf(std::string_view text) {
  return {text.begin(), text.end()};
}

}  // namespace ravmolt::testing

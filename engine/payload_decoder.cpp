#include "engine/payload_decoder.h"

#include "engine/bit_reader.h"
#include "engine/decompressor.h"

namespace ravmolt {

DecodeStatus decodePayload(const TreeNode* root, SourceStream& source, std::int32_t bitCount,
                           DestinationStream& destination) {
  const std::uint64_t payloadEnd =
      source.position() + (static_cast<std::uint64_t>(bitCount) + 7) / 8;
  BitReader bits(source);
  const DecodeStatus status = walkTree(root, bits, bitCount, destination);
  // The reader keeps one byte ahead, so a source that shrank during the run shows here.
  if (status == DecodeStatus::success && source.position() < payloadEnd) {
    return DecodeStatus::invalidFormat;
  }
  return status;
}

}  // namespace ravmolt

// The decoder of one compressed file: header and checksum, count table, code tree, payload.
// Every check on the file's contents is made before the first restored byte is written, so an
// invalid file never leaves partial output behind.
#pragma once

#include <cstdint>

#include "engine/format/code_tree.h"
#include "engine/format/format.h"
#include "engine/io/destination_stream.h"
#include "engine/io/source_stream.h"
#include "ravmolt/decode_status.h"

namespace ravmolt {

class Decompressor {
 public:
  // Borrows both streams for the decoder's lifetime. Reads nothing yet. The payload may be
  // decoded on up to `threads` threads (at most two are used), which then read the source and
  // write the destination in turn.
  Decompressor(SourceStream& source, DestinationStream& destination, unsigned threads = 1);

  // Decodes the whole source into the destination and hands every restored byte on. Call once.
  // Returns success, invalidFormat (nothing was written) or writeFailed.
  [[nodiscard]] DecodeStatus decode();

 private:
  [[nodiscard]] bool readHeader();
  [[nodiscard]] bool readFrequencyTable();
  [[nodiscard]] DecodeStatus decodePayload();

  SourceStream& source_;
  DestinationStream& destination_;
  unsigned threads_;
  FrequencyTable frequencies_{};
  TreeNode* root_ = nullptr;
  FileHeader header_{};
  NodeArena arena_;
};

}  // namespace ravmolt

// The decoder of one compressed file: header and checksum, count table, code tree, payload.
// Every check on the file's contents is made before the first restored byte is written, so an
// invalid file never leaves partial output behind.
#pragma once

#include <cstdint>

#include "engine/format/bit_reader.h"
#include "engine/format/code_tree.h"
#include "ravmolt/decode_status.h"
#include "engine/io/destination_stream.h"
#include "engine/format/format.h"
#include "engine/io/source_stream.h"

namespace ravmolt {

class Decompressor {
 public:
  // Borrows both streams for the decoder's lifetime. Reads nothing yet.
  Decompressor(SourceStream& source, DestinationStream& destination);

  // Decodes the whole source into the destination, leaving restored bytes buffered in it (the
  // owner flushes). Call once. Returns success, invalidFormat or writeFailed.
  DecodeStatus decode();

  const FileHeader& header() const { return header_; }
  const FrequencyTable& frequencies() const { return frequencies_; }
  const TreeNode* root() const { return root_; }

 private:
  bool readHeader();
  bool readFrequencyTable();

  SourceStream& source_;
  DestinationStream& destination_;
  FrequencyTable frequencies_{};
  TreeNode* root_ = nullptr;
  FileHeader header_{};
  NodeArena arena_;
};

// The reference payload decoder: one tree step per bit, one byte written at each leaf, back to the
// root after it. Takes exactly `bitCount` bits; an incomplete last code produces nothing. The bits
// must be present: past the end of the source the reader repeats its last bit.
DecodeStatus walkTree(const TreeNode* root, BitReader& bits, std::int32_t bitCount,
                      DestinationStream& destination);

}  // namespace ravmolt

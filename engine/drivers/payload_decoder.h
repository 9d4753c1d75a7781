// The production payload decoder. It must restore exactly what walkTree restores, bit for bit, for
// every tree and every bitCount; walkTree stays as the reference it is tested against.
#pragma once

#include <cstdint>

#include "engine/format/code_tree.h"
#include "ravmolt/decode_status.h"
#include "engine/io/destination_stream.h"
#include "engine/io/source_stream.h"

namespace ravmolt {

// Decodes exactly `bitCount` (> 0) payload bits from `source`, which is positioned on the first
// payload byte and, as the caller has checked, holds at least (bitCount + 7) / 8 more bytes.
// Writes one byte per complete code into `destination`; an incomplete last code produces nothing.
// Returns success, writeFailed, or invalidFormat when the source turned out shorter than checked.
DecodeStatus decodePayload(const TreeNode* root, SourceStream& source, std::int32_t bitCount,
                           DestinationStream& destination);

}  // namespace ravmolt

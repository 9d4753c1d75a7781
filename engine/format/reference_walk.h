// The reference payload decoder: one tree step per bit, one byte written at each leaf, back to the
// root after it. It reads exactly like the design of the format and stays as the judge the fast
// decoders are tested against; the tool itself decodes with the span decoder.
#pragma once

#include <cstdint>

#include "engine/format/bit_reader.h"
#include "engine/format/code_tree.h"
#include "engine/io/destination_stream.h"
#include "ravmolt/decode_status.h"

namespace ravmolt {

// Takes exactly `bitCount` bits (none when it is zero or below); an incomplete last code produces
// nothing. Past the end of the source the reader repeats its last bit, so the caller bounds the
// bits by what the file holds. Returns success, or writeFailed once the destination has failed.
[[nodiscard]] DecodeStatus walkTree(const TreeNode* root, BitReader& bits, std::int32_t bitCount,
                                    DestinationStream& destination);

}  // namespace ravmolt

// The payload decoded on the calling thread: the span decoder over the source's buffer, straight
// into the destination's buffer, one buffer-full at a time.
#pragma once

#include "engine/drivers/payload.h"
#include "engine/fast/decode_table.h"
#include "engine/io/destination_stream.h"
#include "ravmolt/decode_status.h"

namespace ravmolt {

// Decodes the payload's bits with `table` into `destination`, leaving the last of them buffered.
// Returns success, writeFailed, or invalidFormat when the source turned out shorter than checked.
[[nodiscard]] DecodeStatus decodeOnOneThread(const DecodeTable& table, const Payload& payload,
                                             DestinationStream& destination);

}  // namespace ravmolt

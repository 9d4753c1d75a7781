// The payload stage of a decode: the tables built from the code tree once, and the driver that
// decodes with them chosen once.
#pragma once

#include "engine/drivers/payload.h"
#include "engine/format/code_tree.h"
#include "engine/io/destination_stream.h"
#include "ravmolt/decode_status.h"

namespace ravmolt {

// Decodes the payload with the codes of `root` (which has an inner node) into `destination`,
// leaving the last bytes buffered. On two threads when `threads` is 2 or more, the process may
// run on two processors and the payload is long enough for that to pay; otherwise, or when no
// second thread can be started, on the calling thread. Returns success, writeFailed, or
// invalidFormat when the source turned out shorter than checked.
[[nodiscard]] DecodeStatus decodePayload(const TreeNode* root, const Payload& payload,
                                         DestinationStream& destination, unsigned threads);

}  // namespace ravmolt

// The payload decoded on two threads, for large files.
//
// The payload is cut into segments (see SegmentPlan). The threads claim segments in order, read
// each one's bytes themselves and decode it from its start as if a code began there (see
// SegmentDecoder). Whichever thread finds the next segment due decoded writes it: it proves where
// the segment's output joins the next one's, and writes the output up to there. A join that
// cannot be proven (the codes did not fall into step within the edge window) costs a second
// decode of the next segment from a true code boundary, never a wrong byte; when that keeps
// happening, guessing stops and the writer decodes every segment from its true start. A thread
// that loses its processor to other work simply claims fewer segments.
#pragma once

#include <optional>

#include "engine/drivers/payload.h"
#include "engine/drivers/segment_plan.h"
#include "engine/fast/decode_table.h"
#include "engine/io/destination_stream.h"
#include "ravmolt/decode_status.h"

namespace ravmolt {

// Decodes the payload's bits with `table` into `destination` as decodeOnOneThread does, with
// `plan`, which must fit them (fitsPlan). The destination is written from either thread, one at a
// time, and the source is read with readAt from both. Returns nothing, having read and written
// nothing, when the second thread cannot be started.
[[nodiscard]] std::optional<DecodeStatus> decodeOnTwoThreads(const DecodeTable& table,
                                                             const Payload& payload,
                                                             DestinationStream& destination,
                                                             const SegmentPlan& plan);

}  // namespace ravmolt

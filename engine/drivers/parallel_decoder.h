// The payload decoder on two threads, for large files from a descriptor to a descriptor.
//
// The payload is cut into segments of equal bit length. The threads claim segments in order,
// read each one's bytes themselves and decode it from its start as if a code began there (see
// SegmentDecoder). Whichever thread finds the next segment due decoded writes it: it proves where
// the segment's output joins the next one's, and writes the output up to there. A join that
// cannot be proven (the codes did not fall into step within the edge window) costs a second
// decode of the next segment from a true code boundary, never a wrong byte; when that keeps
// happening, guessing stops and the writer decodes every segment from its true start. A thread
// that loses its processor to other work simply claims fewer segments.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/format/code_tree.h"
#include "engine/fast/decode_kernel.h"
#include "ravmolt/decode_status.h"
#include "engine/io/destination_stream.h"
#include "engine/io/source_stream.h"

namespace ravmolt {

struct SegmentPlan {
  std::uint64_t segmentBits = 0;  // a multiple of 8; the last segment takes the rest
  std::uint32_t count = 0;
};

// Segments of at most `outputBytes` of output each, starting where the codes can fall into
// step: on whole bytes and on multiples of every code length's common divisor.
SegmentPlan planSegments(const CodeShape& shape, std::int32_t bitCount,
                         std::size_t outputBytes = std::size_t{512} << 10);

// Decodes the `bitCount` payload bits at the source's position into `destination`, as
// decodePayload does, when it pays: both ends are descriptors, the plan has several segments and
// the process may run on two processors. Returns nothing, having read and written nothing, when
// it does not apply or the second thread cannot be started. `plan` is for tests; a plan of two
// or more segments of at least kMinimumSegmentBits is then used whatever the file's size.
std::optional<DecodeStatus> decodeInParallel(const TreeNode* root, const CodeShape& shape,
                                             SourceStream& source, std::int32_t bitCount,
                                             DestinationStream& destination,
                                             std::optional<SegmentPlan> plan = std::nullopt);

// Shorter segments could end before their head window and bulk margins do.
constexpr std::uint64_t kMinimumSegmentBits = 8 * 4096;

}  // namespace ravmolt

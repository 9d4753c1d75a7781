// The decoder of one compressed file fed in pieces of any size, into output room of any size:
// the engine under ravmolt_stream_decode. It goes through the same stages as the Decompressor
// (header and checksum, count table, code tree and decode tables, payload), each as far as the
// bytes given so far allow, so that every check on the file's contents is still made before the
// first restored byte.
//
// The payload goes through the span decoder straight from the caller's piece, as long as the
// bytes a span reads past its end are in that piece; only the last few bytes of a piece (the code
// it ends in and those read-past bytes) are copied, into a small carry-over, and decoded with the
// first bytes of the next piece. Output goes straight into the caller's room when it can hold a
// span's worst case, otherwise into a staging buffer that later calls hand out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/fast/decode_table.h"
#include "engine/fast/lanes.h"
#include "engine/fast/span_decoder.h"
#include "engine/format/code_tree.h"
#include "engine/format/format.h"
#include "engine/io/buffer.h"
#include "ravmolt/ravmolt_c.h"

namespace ravmolt {

// Where a call reads from and writes to, with the counts it advances.
struct StreamInput {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t used;
};
struct StreamOutput {
  std::uint8_t* data;
  std::size_t room;
  std::size_t made;
};

class IncrementalDecoder {
 public:
  // Output that the caller's room cannot take at once is decoded here.
  static constexpr std::size_t kStagingSize = std::size_t{512} << 10;
  // Payload bytes of a new piece copied behind the carry-over, enough for the codes that start in
  // it to be decoded.
  static constexpr std::size_t kLookahead = 64;
  static constexpr std::size_t kCarrySize = 256;

  IncrementalDecoder();
  IncrementalDecoder(const IncrementalDecoder&) = delete;
  IncrementalDecoder& operator=(const IncrementalDecoder&) = delete;

  // False when the buffers could not be had.
  bool ready() const { return staging_ != nullptr && carry_ != nullptr; }
  // Ready for the next file; keeps every buffer.
  void reset();
  // Decodes from input.data + input.used into output.data + output.made as ravmolt_stream_decode
  // documents, and returns its status.
  [[nodiscard]] ravmolt_status decode(StreamInput& input, StreamOutput& output, bool inputEnded);

 private:
  enum class Stage : std::uint8_t { header, table, payload, finished };

  ravmolt_status finish(ravmolt_status status);
  // The header and table stages; payload means that they are done.
  void takeHeader(StreamInput& input);
  void takeTable(StreamInput& input);
  // After the table: the tree, the tables and the payload's first bytes.
  void startPayload();
  [[nodiscard]] ravmolt_status decodePayload(StreamInput& input, StreamOutput& output,
                                             bool inputEnded);
  // One step of the payload from the carry-over or from the piece; false when nothing could be
  // done without more input.
  [[nodiscard]] bool carryStep(StreamInput& input, StreamOutput& output, bool inputEnded);
  [[nodiscard]] bool pieceStep(StreamInput& input, StreamOutput& output);
  // Decodes `bytes` from position_ up to `to` (codes that end by it, or with `more`, codes that
  // start before it, kReadPastBytes being in `bytes` past to / 8), into the caller's room or the
  // staging buffer. Returns whether it reached `to`, rather than stopping short for room.
  bool decodeSpan(std::span<const std::uint8_t> bytes, BitPosition to, bool more,
                  StreamOutput& output);
  void handOut(StreamOutput& output);
  // Drops the carry-over's first `count` bytes, which are decoded.
  void dropCarried(std::size_t count);
  // Keeps the byte the payload stopped in, so that the caller's untaken bytes are untouched.
  void keepPartialByte(StreamInput& input);

  Buffer<std::uint8_t> staging_;
  Buffer<std::uint8_t> carry_;
  Stage stage_ = Stage::header;
  ravmolt_status result_ = RAVMOLT_SUCCESS;  // once finished
  std::uint8_t header_[kHeaderSize]{};
  std::size_t headerFill_ = 0;
  FileHeader fields_{};
  std::size_t tableBytes_ = 0;  // whole entries, which may reach past tableSize
  std::size_t tableTaken_ = 0;
  std::uint8_t entry_[kTableEntrySize]{};
  FrequencyTable frequencies_{};
  NodeArena arena_;
  DecodeTable table_;
  std::optional<LaneBuffers> lanes_;  // made once, for the first file whose spans use lanes
  std::optional<SpanDecoder> spans_;

  // The payload: the carry-over's bytes, then the caller's from input.used on. position_ and
  // end_ (the payload's end) are bits from the top of the carry-over's first byte, or of the
  // caller's byte at input.used when the carry-over is empty.
  std::size_t carried_ = 0;
  BitPosition position_ = 0;
  std::uint64_t end_ = 0;
  bool payloadDone_ = false;
  std::size_t stagedBegin_ = 0;
  std::size_t stagedEnd_ = 0;
};

}  // namespace ravmolt

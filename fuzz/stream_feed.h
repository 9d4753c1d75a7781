// Feeds a compressed file to ravmolt_stream_decode in pieces and output rooms of sizes chosen by
// the caller, as a program reading a pipe does, and checks the interface's rules on every call:
// NEEDS_INPUT only with every byte given taken, OUTPUT_PENDING only with the room full, no
// progress lost between calls. Each piece lives in memory of its own, freed when the next one
// comes, so that a decoder holding on to a piece's memory reads freed memory (found by ASan).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fuzz/reference_decode.h"
#include "ravmolt/ravmolt_c.h"

namespace ravmolt::checks {

struct StreamRun {
  ravmolt_status status = RAVMOLT_SUCCESS;  // the last call's
  std::vector<std::uint8_t> output;
  std::size_t unused = 0;       // input bytes not taken when it ended, given or not
  std::size_t firstOutput = 0;  // bytes given when the first output came, or 0
  std::string broken;           // the rule a call broke, if any
};

// `pieceSize()` and `roomSize()` give each next size (at least 1). The input is said to have
// ended with its last piece.
template <typename PieceSize, typename RoomSize>
StreamRun feedStream(ravmolt_decoder* decoder, std::span<const std::uint8_t> file,
                     PieceSize&& pieceSize, RoomSize&& roomSize) {
  StreamRun run;
  std::vector<std::uint8_t> piece;
  std::unique_ptr<std::uint8_t[]> room;
  ravmolt_input in{nullptr, 0, 0};
  std::size_t given = 0;
  // Every call takes a byte or makes one, but for the one that says what is needed.
  const std::size_t mostCalls = 4 * (file.size() + 64) * 9 + 64;
  for (std::size_t calls = 0;; ++calls) {
    if (in.used == in.size && given < file.size()) {
      const std::size_t size = std::min(std::max<std::size_t>(pieceSize(), 1), file.size() - given);
      piece = std::vector<std::uint8_t>(file.begin() + static_cast<std::ptrdiff_t>(given),
                                        file.begin() + static_cast<std::ptrdiff_t>(given + size));
      in = {piece.data(), piece.size(), 0};
      given += size;
    }
    const bool ended = given == file.size();
    // Fresh memory, not cleared: a decoder that writes before the room's start or past its end
    // is found by ASan.
    const std::size_t roomBytes = std::max<std::size_t>(roomSize(), 1);
    room.reset(new std::uint8_t[roomBytes]);
    ravmolt_output out{room.get(), roomBytes, 0};
    run.status = ravmolt_stream_decode(decoder, &in, &out, ended ? 1 : 0);
    if (out.made > 0 && run.output.empty()) run.firstOutput = given - (in.size - in.used);
    run.output.insert(run.output.end(), room.get(), room.get() + out.made);
    if (run.status == RAVMOLT_NEEDS_INPUT) {
      if (in.used != in.size) run.broken = "more input asked for with input left";
      if (ended) run.broken = "more input asked for after the end";
    } else if (run.status == RAVMOLT_OUTPUT_PENDING) {
      if (out.made != out.room) run.broken = "output pending with room left";
    } else {
      run.unused = in.size - in.used + file.size() - given;
      return run;
    }
    if (calls > mostCalls) run.broken = "too many calls";
    if (!run.broken.empty()) return run;
  }
}

// The bytes a file takes from the front of a stream: the header, every whole table entry, and the
// payload's bytes. What follows is left to the caller.
inline std::size_t fileExtent(const FileHeader& header) {
  const std::size_t table = header.tableSize > 0 ? static_cast<std::size_t>(header.tableSize) : 0;
  std::size_t end = kHeaderSize + (table + kTableEntrySize - 1) / kTableEntrySize * kTableEntrySize;
  if (header.bitCount > 0) {
    end = std::max(end, kHeaderSize + table + (static_cast<std::size_t>(header.bitCount) + 7) / 8);
  }
  return end;
}

// Empty when `run` is what streaming `file` must give, else what differs. A file the reference
// decodes restores exactly, leaving what follows its extent untaken. Otherwise one whose header,
// table and codes are whole but whose payload is cut short is truncated after exactly the codes
// of the bits that came (the reference walk of a header that announces only those); anything else
// is invalid with nothing restored.
inline std::string judgeStream(const StreamRun& run, std::span<const std::uint8_t> file) {
  if (!run.broken.empty()) return run.broken;
  const Expected expected = referenceDecode(file);
  if (expected.valid) {
    if (run.status != RAVMOLT_SUCCESS) return "well-formed file not decoded";
    if (run.output != expected.output) return "output differs from the reference";
    if (run.unused != file.size() - fileExtent(parseHeader(file.data()))) return "wrong bytes left";
    return {};
  }
  bool cut = false;
  std::vector<std::uint8_t> came;
  const FileHeader header = file.size() >= kHeaderSize ? parseHeader(file.data()) : FileHeader{};
  FileHeader tableOnly = header;
  tableOnly.bitCount = 0;
  // The header and every table entry came, and announce bits.
  if (file.size() >= kHeaderSize && header.bitCount > 0 && checksumMatches(header) &&
      file.size() >= fileExtent(tableOnly)) {
    const std::size_t start =
        kHeaderSize + (header.tableSize > 0 ? static_cast<std::size_t>(header.tableSize) : 0);
    const std::size_t bits = file.size() > start ? 8 * (file.size() - start) : 0;
    // The same file announcing the bits that came (one padding byte when none did).
    std::vector<std::uint8_t> probe(file.begin(), file.end());
    if (bits == 0) probe.resize(std::max(probe.size(), start) + 1);
    const auto announced = static_cast<std::int32_t>(std::max<std::size_t>(bits, 1));
    probe[0] = checksumFor(announced, header.tableSize);
    for (std::size_t i = 0; i < 4; ++i) {
      probe[1 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(announced) >> (8 * i));
    }
    const Expected whole = referenceDecode(probe);
    cut = whole.valid;
    if (cut && bits > 0) came = whole.output;
  }
  if (!cut) {
    if (run.status != RAVMOLT_INVALID_FORMAT) return "invalid file not rejected";
    if (!run.output.empty()) return "invalid file produced output";
    return {};
  }
  if (run.status != RAVMOLT_TRUNCATED) return "cut file not reported truncated";
  if (run.output != came) return "a cut file's output differs from the reference";
  return {};
}

}  // namespace ravmolt::checks

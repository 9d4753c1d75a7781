#include "engine/decompressor.h"

#include "engine/drivers/payload_decoder.h"

namespace ravmolt {

Decompressor::Decompressor(SourceStream& source, DestinationStream& destination, unsigned threads)
    : source_(source), destination_(destination), threads_(threads) {}

bool Decompressor::readHeader() {
  std::uint8_t bytes[kHeaderSize];
  source_.seek(0);
  if (source_.read(bytes, kHeaderSize) != kHeaderSize) return false;
  header_ = parseHeader(bytes);
  return true;
}

bool Decompressor::readFrequencyTable() {
  source_.seek(kHeaderSize);
  // Whole entries are read while the offset is below tableSize, so a size that is not a multiple
  // of kTableEntrySize reads its last entry on into the payload. Stored files depend on it.
  for (std::int32_t offset = 0; offset < header_.tableSize;
       offset += static_cast<std::int32_t>(kTableEntrySize)) {
    std::uint8_t entry[kTableEntrySize];
    if (source_.read(entry, kTableEntrySize) != kTableEntrySize) return false;
    frequencies_[entry[0]] = readLittleEndian<std::int32_t>(entry + 1);  // later entries win
  }
  return true;
}

DecodeStatus Decompressor::decodePayload() {
  root_ = buildTree(frequencies_, arena_);
  if (root_ == nullptr) return DecodeStatus::invalidFormat;  // bits but no codes

  // A positive count needs a table entry, so tableSize is positive here and the payload starts
  // after the table. Every bit that bitCount announces must be in the file.
  const std::uint64_t payloadStart = kHeaderSize + static_cast<std::uint64_t>(header_.tableSize);
  const auto bits = static_cast<std::uint64_t>(header_.bitCount);
  if (source_.size() < payloadStart || source_.size() - payloadStart < (bits + 7) / 8) {
    return DecodeStatus::invalidFormat;
  }
  return ravmolt::decodePayload(root_, {source_, payloadStart, bits}, destination_, threads_);
}

DecodeStatus Decompressor::decode() {
  if (!readHeader() || !checksumMatches(header_) || !readFrequencyTable()) {
    return DecodeStatus::invalidFormat;
  }
  if (header_.bitCount > 0) {  // zero or below: nothing to restore
    const DecodeStatus status = decodePayload();
    if (status != DecodeStatus::success) return status;
  }
  return destination_.flush() ? DecodeStatus::success : DecodeStatus::writeFailed;
}

}  // namespace ravmolt

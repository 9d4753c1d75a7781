#include "engine/format/bit_reader.h"

namespace ravmolt {

BitReader::BitReader(SourceStream& source) : source_(&source) { refill(); }

void BitReader::refill() {
  std::uint8_t byte;
  if (!source_->readByte(byte)) return;
  for (std::size_t k = 0; k < bits_.size(); ++k)
    bits_[k] = static_cast<std::uint8_t>((byte >> k) & 1U);
  index_ = 7;
}

}  // namespace ravmolt

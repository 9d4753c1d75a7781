// Lookup tables that decode several codes per step, built by walking the code tree. The codes are
// not canonical and can be up to 255 bits long, so a table is built for the root and for every
// inner node a walk reaches after a whole number of table widths: a long code passes through a
// chain of tables, kTableBits bits at a time, and ends in an ordinary entry. A table below the
// root looks at no more bits than its node's deepest leaf needs: most are a few entries, and
// fresh memory is slow to touch.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "engine/fast/byte_translation.h"
#include "engine/format/code_tree.h"
#include "engine/io/buffer.h"

namespace ravmolt {

// One table entry, 64 bits:
//   bits  0..5   bits consumed: the bits of the complete codes in the entry, 1..the table's width.
//                It is also the shift that drops them from a left-aligned window (only the low
//                six bits of a shift count matter, so the entry can be used as the count).
//   bits  8..15  number of symbols, 0..kMaxSymbols. Zero means that no code ends within the
//                width bits looked at: decoding continues, after all of them, in the table whose
//                index is in bits 16..47. Such an entry consumes 0 bits, so that a run of lookups
//                that meets one stays on it, storing nothing, and needs no test of its own. The
//                count has a byte of its own: the processor takes it out in one instruction.
//   bits 16..63  the symbols, first one in bits 16..23, so that `entry >> 16` stored as eight
//                bytes, lowest first, writes them in order (and zeros or leftovers after them).
using DecodeEntry = std::uint64_t;

// The lengths the tree's codes take: they decide which fast paths apply, how much output a run
// of bits can make, and where a decoder started at a guessed position can fall into step.
struct CodeShape {
  int shortest = 0;
  int longest = 0;
  int lengthDivisor = 0;  // the greatest common divisor of all code lengths

  // All 256 codes are 8 bits long: decoding is a byte translation.
  bool isByteTranslation() const { return shortest == 8 && longest == 8; }
};

class DecodeTable {
 public:
  static constexpr int kTableBits = 13;
  static constexpr std::size_t kTableSize = std::size_t{1} << kTableBits;
  static constexpr unsigned kMaxSymbols = 6;
  static constexpr unsigned kSymbolShift = 16;
  static_assert(kTableBits <= 0x3F, "the consumed bits must fit in bits 0..5");
  static_assert(kSymbolShift + 8 * kMaxSymbols <= 64, "the symbols must fit above the header");

  // A root table this wide serves short payloads: 512 entries build in microseconds, where the
  // full 8,192 cost more than decoding a few KiB with them saves. Only the one-code-at-a-time
  // decoders use it; the fast loops and lanes need a root of kTableBits.
  static constexpr int kSmallRootBits = 9;

  // Builds the tables of the tree under `root`, which must have at least one inner node, with a
  // root table `rootBits` wide (kTableBits or kSmallRootBits). Storage is reused from an earlier
  // build when it is large enough. When every code is 8 bits long the tables are a byte
  // translation alone, which decodes faster than any lookup and costs nothing to build. False
  // when the memory for the tables could not be had; the table is then unusable.
  [[nodiscard]] bool build(const TreeNode* root, int rootBits = kTableBits);
  // The byte translation of a tree whose codes are all 8 bits long, else null; with one, there
  // are no lookup tables.
  const ByteTranslation* byteTranslation() const { return translation_ ? &*translation_ : nullptr; }

  // Table `index` is 2^width(index) entries, indexed by the next width(index) payload bits read
  // MSB-first; table 0 starts at the root and is kTableBits wide.
  const DecodeEntry* table(std::size_t index) const { return entries_.get() + offsets_[index]; }
  const DecodeEntry* root() const { return entries_.get(); }
  int rootBits() const { return rootBits_; }
  int width(std::size_t index) const { return widths_[index]; }
  std::size_t tableCount() const { return tableCount_; }
  // The tree node that table `index` continues from.
  const TreeNode* start(std::size_t index) const { return starts_[index]; }
  const CodeShape& shape() const { return shape_; }
  // Some code is longer than a root lookup, so some lookups continue in a chain of tables.
  bool hasLongCodes() const { return tableCount_ > 1; }
  // The length of the code of `symbol`, for decoders that step one code at a time: a symbol has
  // one code (the filler of a one-symbol tree may share its symbol, and then its length too).
  unsigned codeLengthOf(std::uint8_t symbol) const { return codeLengths_[symbol]; }

  static unsigned bitsOf(DecodeEntry entry) { return static_cast<unsigned>(entry & 0x3F); }
  static unsigned symbolCountOf(DecodeEntry entry) {
    return static_cast<unsigned>((entry >> 8) & 0xFF);
  }
  static std::uint8_t symbolOf(DecodeEntry entry, unsigned position) {
    return static_cast<std::uint8_t>(entry >> (kSymbolShift + 8 * position));
  }
  static std::size_t nextTableOf(DecodeEntry entry) {
    return static_cast<std::size_t>((entry >> kSymbolShift) & 0xFFFFFFFF);
  }

 private:
  // A table for each inner node that a lookup of a whole table's width leads to; with at most 256
  // leaves there are at most 255 inner nodes, so this many tables at the most.
  static constexpr std::size_t kMostTables = kSymbolCount;

  // Lays out the tables: their start nodes, widths and places, in the order entries meet them.
  void planTables();
  void addTablesBelow(const TreeNode* node, int depth, int width);
  // The complete codes met so far on the walk to one entry.
  struct Partial {
    DecodeEntry symbols = 0;
    unsigned count = 0;
    unsigned consumed = 0;  // bits of the complete codes
  };
  // Where the entries of the table being filled go.
  struct Filling {
    DecodeEntry* entries = nullptr;
    int width = 0;
    std::size_t nextTable = 0;  // the table the next entry without symbols leads to
  };
  void fillEntries(Filling& filling, const TreeNode* node, int depth, std::size_t prefix,
                   Partial codes) const;

  const TreeNode* root_ = nullptr;
  int rootBits_ = kTableBits;
  CodeShape shape_;
  std::array<std::uint8_t, kSymbolCount> codeLengths_{};
  std::optional<ByteTranslation> translation_;
  Buffer<DecodeEntry> entries_;
  std::size_t capacity_ = 0;  // entries that entries_ holds
  std::size_t tableCount_ = 0;
  std::array<const TreeNode*, kMostTables> starts_{};
  std::array<std::size_t, kMostTables> offsets_{};  // of each table's first entry in entries_
  std::array<int, kMostTables> widths_{};
};

}  // namespace ravmolt

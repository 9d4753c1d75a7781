// The steps every fast decoder is made of, all through the tables of DecodeTable: a window's run
// of lookups (several codes each), the chain of tables a code longer than a lookup passes
// through, and one code alone. Every step starts and ends on a code boundary.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "engine/fast/bit_window.h"
#include "engine/fast/decode_table.h"
#include "engine/platform/packed_stores.h"

namespace ravmolt {

// Lookups per window: each takes at most kTableBits bits of the >= 57 that a window holds.
constexpr int kLookupsPerWindow = 57 / DecodeTable::kTableBits;
static_assert(kLookupsPerWindow >= 1);
constexpr unsigned kLongestCodeBits = 255;
// The most bits one decodeStep takes: a window's lookups, then a long code and the codes that end
// its last lookup. Every code of a step started at p starts and ends before p + kStepBits.
constexpr unsigned kStepBits =
    kLookupsPerWindow * DecodeTable::kTableBits + kLongestCodeBits + DecodeTable::kTableBits;
// Bytes past the byte of `to` that a decoder reads when it decodes every code that starts before
// `to`: the last such code can be a long one, and each lookup loads eight bytes.
constexpr std::size_t kReadPastBytes = (kLongestCodeBits + DecodeTable::kTableBits) / 8 + 8 + 8;
// Bytes a store of symbols writes past the last symbol it keeps: a word of eight bytes for one
// entry, or a window's entries packed at once.
constexpr std::size_t kStoreOverrun = kPackedOverrun;
static_assert(kStoreOverrun >= 8);

// How a window's lookups store their symbols: each entry's as it is looked up, or, in the loops
// compiled for processors with a byte compress, the window's entries packed into one store (see
// packed_stores.h).
enum class Stores : bool { eachEntry, packed };

// Stores an entry's symbols at `out`, the first one first, and leftovers after them.
inline void storeSymbols(std::uint8_t* out, DecodeEntry entry) {
  storeLittleEndian64(out, entry >> DecodeTable::kSymbolShift);
}

// Looks up the code at `position` in the root table and, for a code longer than a lookup, on
// through its chain of tables, each of which takes its width in bits. Returns the entry in which
// the code ends, with `position` on the first bit that entry looks at. `window(p)` gives the
// window at p.
template <typename Window>
[[gnu::always_inline]] inline DecodeEntry entryEndingCode(const DecodeTable& table,
                                                          BitPosition& position, Window window) {
  int width = table.rootBits();
  DecodeEntry entry = table.root()[peekBits(window(position), width)];
  while (DecodeTable::symbolCountOf(entry) == 0) [[unlikely]] {
      position += static_cast<unsigned>(width);
      const std::size_t next = DecodeTable::nextTableOf(entry);
      width = table.width(next);
      entry = table.table(next)[peekBits(window(position), width)];
    }
  return entry;
}

// Decodes the one code at `position` in `stream` and returns its symbol. Needs eight readable
// bytes from every byte the code touches.
inline std::uint8_t decodeOneCode(const DecodeTable& table, const std::uint8_t* stream,
                                  BitPosition& position) {
  BitPosition at = position;
  const DecodeEntry entry =
      entryEndingCode(table, at, [stream](BitPosition p) { return windowAt(stream, p); });
  const std::uint8_t symbol = DecodeTable::symbolOf(entry, 0);
  position += table.codeLengthOf(symbol);
  return symbol;
}

// Where a step ended, returned by value: a decoder keeps its position and output in registers,
// which a pointer or reference handed to a call out of line would force into memory.
struct StepEnd {
  BitPosition position;
  std::uint8_t* out;
};

// Decodes the long code at `position` and the codes that end the entry it ends in, storing their
// symbols at `out`. Out of line: long codes are rare.
StepEnd decodeLongCode(const DecodeTable& table, const std::uint8_t* stream, BitPosition position,
                       std::uint8_t* out);

// A window's entries, in the order they were looked up: as they are, for stores of each entry,
// or gathered for one packed store.
using WindowEntries = std::array<DecodeEntry, kLookupsPerWindow>;

template <std::size_t i>
[[gnu::always_inline]] inline void putEntry(WindowEntries& entries, DecodeEntry entry) {
  entries[i] = entry;
}
inline DecodeEntry lastEntry(const WindowEntries& entries) { return entries.back(); }
// Stores the symbols of a window's entries at `out`, in order, and moves `out` past them: each
// entry's word on its own, or all of them packed into one store.
[[gnu::always_inline]] inline void storeWindow(std::uint8_t*& out, const WindowEntries& entries) {
  for (const DecodeEntry entry : entries) {
    storeSymbols(out, entry);
    out += DecodeTable::symbolCountOf(entry);
  }
}

#if RAVMOLT_X86_LOOPS
template <std::size_t i>
[[gnu::always_inline]] inline void putEntry(PackedWords& entries, DecodeEntry entry) {
  entries.template put<i>(entry);
}
inline DecodeEntry lastEntry(const PackedWords& entries) { return entries.last(); }
[[gnu::always_inline]] inline void storeWindow(std::uint8_t*& out, const PackedWords& entries) {
  static_assert(PackedWords::size() == kLookupsPerWindow && DecodeTable::kSymbolShift == 16 &&
                    DecodeTable::kMaxSymbols <= 6,
                "packed stores take four entries, each with its count in byte 1 and its symbols "
                "in bytes 2..7");
  out += entries.storeKept(out);
}
template <Stores kStores>
using EntriesFor = std::conditional_t<kStores == Stores::packed, PackedWords, WindowEntries>;
#else
template <Stores kStores>
using EntriesFor = WindowEntries;  // no packed loops are built
#endif

// A window's lookups: kLookupsPerWindow of them, each taking at most kTableBits of the >= 57
// bits a window holds. The window's lowest bit, never looked at, is set as a marker first
// (markWindow); each lookUp shifts the window left by its entry's bits, which carries the marker
// up by exactly the bits consumed, so that one count of trailing zeros at the end replaces a
// running sum.
//
// An entry without symbols, the start of a code longer than the table, consumes nothing: the
// lookups after it find it again, and the code is left to endWindow.
inline std::uint64_t markWindow(std::uint64_t window) { return window | 1; }
[[gnu::always_inline]] inline DecodeEntry lookUp(const DecodeEntry* root, std::uint64_t& window) {
  static_assert(kLookupsPerWindow * DecodeTable::kTableBits < 57);
  const DecodeEntry entry = root[peekBits(window, DecodeTable::kTableBits)];
  window <<= (entry & 63);
  return entry;
}

// A window's lookups, in order.
template <typename Entries, std::size_t... i>
[[gnu::always_inline]] inline void lookUpWindow(const DecodeEntry* root, std::uint64_t& window,
                                                Entries& entries, std::index_sequence<i...>) {
  (putEntry<i>(entries, lookUp(root, window)), ...);
}

// Whether some code of a table is longer than a lookup (DecodeTable::hasLongCodes). Without
// such codes a window's lookups can never stop on one, and a window ends without testing for it,
// which shortens the lanes' loops on the many files whose longest codes fit a lookup.
enum class LongCodes : bool { none, some };

// Ends a window of lookups from `position`, whose marked window is `shifted` after them: stores
// its symbols, moves `position` past the bits consumed, and decodes the long code that stopped
// the lookups, if one did. One test at the end finds it, instead of one after every lookup.
// Together with the lookups, takes at most kStepBits bits and stores at most kStoreOverrun bytes
// past its last symbol.
template <LongCodes kLongCodes = LongCodes::some, typename Entries>
[[gnu::always_inline]] inline void endWindow(const DecodeTable& table, const std::uint8_t* stream,
                                             const Entries& entries, std::uint64_t shifted,
                                             BitPosition& position, std::uint8_t*& out) {
  storeWindow(out, entries);
  // The marker is still in the word (the lookups took under 64 bits), so the word is not zero and
  // the count needs no case for it: one instruction, not a test and a conditional move more on
  // every chain of lookups.
  position += trailingZerosOfNonZero(shifted);
  if constexpr (kLongCodes == LongCodes::none) {
    assert(!table.hasLongCodes());
  } else if (DecodeTable::symbolCountOf(lastEntry(entries)) == 0) [[unlikely]] {
    const StepEnd end = decodeLongCode(table, stream, position, out);
    position = end.position;
    out = end.out;
  }
}

// One step of the fast decoders: a window's lookups, then the rest of a long code if one starts.
template <Stores kStores = Stores::eachEntry>
[[gnu::always_inline]] inline void decodeStep(const DecodeTable& table, const DecodeEntry* root,
                                              const std::uint8_t* stream, BitPosition& position,
                                              std::uint8_t*& out) {
  std::uint64_t window = markWindow(windowAt(stream, position));
  EntriesFor<kStores> entries;
  lookUpWindow(root, window, entries, std::make_index_sequence<kLookupsPerWindow>());
  endWindow(table, stream, entries, window, position, out);
}

// Steps while they start no later than `limit`; returns where it stopped, a true code boundary.
// The body of the decode loops' single-chain loop, compiled once for each processor level.
template <Stores kStores>
[[gnu::always_inline]] inline BitPosition stepTo(const DecodeTable& table,
                                                 const std::uint8_t* stream, BitPosition position,
                                                 BitPosition limit, std::uint8_t*& out) {
  const DecodeEntry* const root = table.root();
  std::uint8_t* local = out;
  while (position <= limit) decodeStep<kStores>(table, root, stream, position, local);
  out = local;
  return position;
}

}  // namespace ravmolt

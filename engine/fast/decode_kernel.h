// The inner loops of the fast decoder, shared by the one-thread payload decoder and the segment
// decoder. Bits are looked up kTableBits at a time in tables built from the tree (several codes
// per lookup), from word-sized windows over input held in memory, and symbols are stored straight
// into output memory. Everything here starts and stops on code boundaries.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/fast/bit_window.h"
#include "engine/format/code_tree.h"
#include "engine/fast/decode_table.h"

namespace ravmolt {

// The functions that hold the decode loops are built twice, for plain x86-64 and for processors of
// the x86-64-v3 level, and the loader picks one when the program starts. The loops are chains of
// shifts by amounts just loaded from a table: BMI2's shifts by a register neither read nor write
// the flags and need no count register, which on some processors makes each link of a chain
// shorter.
// RAVMOLT_PLAIN_DECODE_LOOPS builds the plain ones only, so that a test run on a newer processor
// can check them too. So does ThreadSanitizer, whose runtime is not ready yet when the loader
// picks (every such program crashed at start).
#if defined(__has_feature)
#if __has_feature(thread_sanitizer) && !defined(RAVMOLT_PLAIN_DECODE_LOOPS)
#define RAVMOLT_PLAIN_DECODE_LOOPS
#endif
#endif
#if defined(__SANITIZE_THREAD__) && !defined(RAVMOLT_PLAIN_DECODE_LOOPS)
#define RAVMOLT_PLAIN_DECODE_LOOPS
#endif
#ifdef RAVMOLT_PLAIN_DECODE_LOOPS
#define RAVMOLT_DECODE_LOOP
#else
#define RAVMOLT_DECODE_LOOP [[gnu::target_clones("arch=x86-64-v3", "default")]]
#endif

// Lookups per window: each takes at most kTableBits bits of the >= 57 that a window holds.
constexpr int kLookupsPerWindow = 57 / DecodeTable::kTableBits;
static_assert(kLookupsPerWindow >= 1);

// A fast step consumes at most one window's lookups (under 8 bytes) and one long code with the
// codes that end its last lookup (255 + kTableBits bits, under 34 bytes), and every lookup loads
// 8 bytes. Starting kInputMargin bytes before the end of the input, it neither reads past the end
// nor takes a bit of the last byte, the only one that may hold padding beyond bitCount.
constexpr std::size_t kLongestCodeBits = 255;
constexpr std::size_t kStepConsumedBytes =
    (7 + kLookupsPerWindow * DecodeTable::kTableBits + kLongestCodeBits + DecodeTable::kTableBits) /
        8 +
    1;
constexpr std::size_t kInputMargin = 80;
static_assert(kInputMargin >= kStepConsumedBytes + 8 + 1);

// A fast step writes at most kLookupsPerWindow stores of eight bytes, plus one for a long code.
constexpr std::size_t kOutputMargin = 8 * (kLookupsPerWindow + 2);

// A decoding position on a code boundary, with where its symbols go.
struct Lane {
  const std::uint8_t* in;
  unsigned bit;
  std::uint8_t* out;
};

inline void storeSymbols(std::uint8_t* out, DecodeEntry entry) {
  const std::uint64_t symbols = entry >> DecodeTable::kSymbolShift;
  std::memcpy(out, &symbols, sizeof symbols);
}

// Finishes a code longer than kTableBits, starting again at the root table on its first bits,
// through the chain of tables its inner nodes start, to the entry where it ends.
void decodeLongCode(const DecodeTable& table, Lane& lane);

// The lookups of one window: kLookupsPerWindow entries from `window`, their symbols stored at
// `out`. An entry without symbols, the start of a code longer than the table, consumes nothing:
// the lookups after it find it again and store nothing, and the code is left for decodeLongCode.
// One test at the end finds it, instead of one after every lookup. Returns the bits consumed.
//
// The window's lowest bit, never looked at (a window's lookups take fewer than its 57 payload
// bits), is set as a marker: shifting the window left by each entry's bits carries it up by
// exactly the bits consumed, so one count of trailing zeros at the end replaces a running sum.
[[gnu::always_inline]] inline unsigned lookUpWindow(const DecodeEntry* root, std::uint64_t window,
                                                    std::uint8_t*& out, bool& longCode) {
  static_assert(kLookupsPerWindow * DecodeTable::kTableBits < 57);
  window |= 1;
  DecodeEntry entry = 0;
  for (int step = 0; step < kLookupsPerWindow; ++step) {
    entry = root[peekBits(window, DecodeTable::kTableBits)];
    storeSymbols(out, entry);
    out += DecodeTable::symbolCountOf(entry);
    window <<= (entry & 63);
  }
  longCode = DecodeTable::symbolCountOf(entry) == 0;
  // The marker is still in the word (the lookups took under 64 bits), so the word is not zero and
  // the count needs no case for it: one instruction, not a test and a conditional move more on
  // every lane's chain.
  return static_cast<unsigned>(__builtin_ctzll(window));
}

// One window's worth of lookups, then the rest of a long code if one starts. Needs
// kInputMargin bytes of input and kOutputMargin bytes of room.
[[gnu::always_inline]] inline void decodeWindow(const DecodeTable& table, const DecodeEntry* root,
                                                Lane& lane) {
  bool longCode;
  const unsigned used =
      lane.bit + lookUpWindow(root, windowAt(lane.in, lane.bit), lane.out, longCode);
  lane.in += used >> 3;
  lane.bit = used & 7;
  if (longCode) [[unlikely]]
    decodeLongCode(table, lane);
}

// Decodes while at least kInputMargin bytes remain before `inEnd` and kOutputMargin bytes of
// room before `outEnd`.
void fastLoop(const DecodeTable& table, Lane& lane, const std::uint8_t* inEnd,
              const std::uint8_t* outEnd);

// Walks one code through the tree, bit by bit, and returns its leaf.
inline const TreeNode* walkCode(const TreeNode* root, const std::uint8_t*& in, unsigned& bit) {
  const TreeNode* node = root;
  do {
    node = ((*in >> (7 - bit)) & 1U) != 0 ? node->right : node->left;
    skipBits(in, bit, 1);
  } while (!isLeaf(node));
  return node;
}

// Decodes one code and returns its symbol: looked up when it is at most kTableBits long, else
// walked through the tree. Needs eight readable bytes from `in`.
inline std::uint8_t decodeOneCode(const DecodeTable& table, const TreeNode* root,
                                  const std::uint8_t*& in, unsigned& bit) {
  const DecodeTable::FirstCode code =
      table.firstCodes()[peekBits(windowAt(in, bit), DecodeTable::kTableBits)];
  if (code == 0) return walkCode(root, in, bit)->symbol;
  skipBits(in, bit, code >> 8);
  return static_cast<std::uint8_t>(code);
}

// The lengths the tree's codes take: they decide which fast paths apply and where a decoder
// started at a guessed position can fall onto code boundaries.
struct CodeShape {
  int shortest = 0;
  int longest = 0;
  int lengthDivisor = 0;  // the greatest common divisor of all code lengths
};
CodeShape shapeOf(const TreeNode* root);

// All 256 codes are 8 bits long: decoding is a byte translation (see ByteTranslation).
inline bool isByteTranslation(const CodeShape& shape) {
  return shape.shortest == 8 && shape.longest == 8;
}

}  // namespace ravmolt

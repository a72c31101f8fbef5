#pragma once

// Huffman tables as libjpeg derives them, with the lookups the DC-only decoder reads them by, and
// the MSB-first bit reader over unstuffed entropy data. Building a table costs a pass over its
// codes, plus 4,096 short walks for an AC table's skip entries; a lookup is one load, a code
// longer than the lookups a walk of at most 16 lengths.

#include <array>
#include <cstdint>
#include <cstring>

namespace mirelo::services::images::jpeg_dc {

constexpr int kFastBits = 10;
constexpr int kSkipBits = 12;

// A Huffman table as libjpeg derives it, plus lookups of kFastBits for the common short codes.
// `fast` holds (length << 8 | symbol) for a DC table. An AC table's `skip` is indexed by the next
// kSkipBits and holds two ways to move on: every whole symbol (code and value) within those bits
// up to an end of block, and the first symbol alone, for when the block may end before the rest.
struct Huffman {
  bool defined = false;
  std::array<uint16_t, 1 << kFastBits> fast{};
  std::array<uint32_t, 1 << kSkipBits> skip{};
  std::array<int32_t, 17> maxcode{};  // the largest code of each length, -1 when none
  std::array<int32_t, 17> offset{};  // index into values of the first code of each length, minus that code
  std::array<uint8_t, 256> values{};
};

// A skip entry: bits and coefficient moves of the whole symbols (the end of block counting one
// move, so that it fits only where an index under 64 is left), then of the first symbol alone
// (with its end-of-block flag). Zero when the first code is longer than kSkipBits.
constexpr uint32_t skipEntry(uint32_t allBits, uint32_t allMoves, uint32_t allEnd, uint32_t firstBits,
                             uint32_t firstMoves, uint32_t firstEnd) {
  return allBits | allMoves << 5 | allEnd << 12 | firstBits << 13 | firstMoves << 18 | firstEnd << 23;
}

// The length and symbol of the code at the top of `peek16`, or -1 when no code of any length
// matches (all ones, or bits past the codes). Codes are canonical: the first length at which the
// prefix is no larger than that length's last code is the code's length. Inline: the block
// decoder falls back on it in its loop.
inline int slowDecode(const Huffman& table, uint32_t peek16, uint8_t& symbol) {
  for (int length = 1; length <= 16; ++length) {
    const int32_t code = static_cast<int32_t>(peek16 >> (16 - length));
    if (code <= table.maxcode[static_cast<size_t>(length)]) {
      const int index = table.offset[static_cast<size_t>(length)] + code;
      if (index < 0 || index > 255) return -1;
      symbol = table.values[static_cast<size_t>(index)];
      return length;
    }
  }
  return -1;
}

// Coefficient moves of an AC symbol: its run and itself, 16 for a run of zeros alone, none for
// the end of block.
inline uint32_t moves(uint8_t symbol) {
  const uint32_t size = symbol & 15u, run = symbol >> 4;
  return size ? run + 1 : run == 15 ? 16 : 0;
}

// The table from a DHT segment's counts and values; false for a table libjpeg would refuse too
// (more codes than a length holds, over 256 values) or, for DC, a size beyond 8-bit samples.
bool build(Huffman& table, const uint8_t* counts, const uint8_t* values, int total, bool dc);

// MSB-first bits of unstuffed entropy data. `refill` keeps at least 56 bits buffered; the bytes
// past the end are zero padding, so loads never leave the buffer.
struct Bits {
  const uint8_t* next;
  uint64_t buffer = 0;
  int count = 0;

  void refill() {
    uint64_t word;
    std::memcpy(&word, next, 8);
    buffer |= __builtin_bswap64(word) >> count;
    next += (63 - count) >> 3;
    count |= 56;
  }
  uint32_t peek(int n) const { return static_cast<uint32_t>(buffer >> (64 - n)); }
  void skip(int n) {
    buffer <<= n;
    count -= n;
  }
};

}  // namespace mirelo::services::images::jpeg_dc

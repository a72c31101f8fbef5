#pragma once

// One block of the scan: its DC difference decoded, its AC symbols passed over by the skip
// entries (most windows of 12 bits move on by every symbol in them at once), and its pixel, the
// 1x1 IDCT of its DC term, stored in its component's plane. Inline: the scan's loops are these
// and little else, a few table loads per block.

#include <cstddef>
#include <cstdint>

#include "frame.h"
#include "huffman.h"

namespace mirelo::services::images::jpeg_dc {

// libjpeg's range limit after its 1x1 IDCT, indexed by the descaled value & 1023: 0..127 are
// +128, then clamped high, then clamped low, then -128..-1 as 0..127. Odd values wrap the way
// libjpeg's do.
inline uint8_t rangeLimited(int value) {
  const int index = value & 1023;
  if (index < 128) return static_cast<uint8_t>(index + 128);
  if (index < 512) return 255;
  if (index < 896) return 0;
  return static_cast<uint8_t>(index - 896);
}

// The reader's place in `data`, in bits.
inline size_t position(const Bits& bits, const uint8_t* data) {
  return static_cast<size_t>(bits.next - data) * 8 - static_cast<size_t>(bits.count);
}

// One block: its DC difference, the AC coefficients passed over. False for a code that is not in
// its table or a run past the block's last coefficient.
[[gnu::always_inline]] inline bool decodeBlock(Bits& bits, const Huffman& dc, const Huffman& ac, int& diff) {
  bits.refill();
  int length;
  uint8_t size;
  if (const uint16_t e = dc.fast[bits.peek(kFastBits)]) {
    length = e >> 8;
    size = static_cast<uint8_t>(e);
  } else if ((length = slowDecode(dc, bits.peek(16), size)) < 0) {
    return false;
  }
  bits.skip(length);
  diff = 0;
  if (size) {
    const int raw = static_cast<int>(bits.peek(size));
    bits.skip(size);
    diff = raw < (1 << (size - 1)) ? raw - (1 << size) + 1 : raw;
  }
  for (int k = 1;;) {
    bits.refill();
    uint32_t e = ac.skip[bits.peek(kSkipBits)];
    if (k + static_cast<int>(e >> 5 & 127) <= 64 && (e & 31)) {
      // Every symbol in the window belongs to this block.
      bits.skip(static_cast<int>(e & 31));
      k += static_cast<int>(e >> 5 & 127);
      if (e >> 12 & 1 || k == 64) return true;
      continue;
    }
    if (!(e >> 13)) {
      uint8_t symbol;
      const int codeLength = slowDecode(ac, bits.peek(16), symbol);
      if (codeLength < 0) return false;
      e = skipEntry(0, 0, 0, static_cast<uint32_t>(codeLength) + (symbol & 15u), moves(symbol), symbol == 0);
    }
    bits.skip(static_cast<int>(e >> 13 & 31));
    if (e >> 23) return true;
    k += static_cast<int>(e >> 18 & 31);
    if (k >= 64) return k == 64;
  }
}

// A block's place in the scan (its slot in the MCU, the MCU's column and row), moved on block by
// block without dividing.
struct Cursor {
  Cursor(const Frame& frame, int64_t block)
      : slot(static_cast<int>(block % frame.blocksPerMcu)),
        mx(static_cast<int>(block / frame.blocksPerMcu % frame.mcusWide)),
        my(static_cast<int>(block / frame.blocksPerMcu / frame.mcusWide)) {}
  void next(const Frame& frame) {
    if (++slot < frame.blocksPerMcu) return;
    slot = 0;
    if (++mx < frame.mcusWide) return;
    mx = 0;
    ++my;
  }
  int slot, mx, my;
};

// The pixel of the block at `at` from its DC coefficient.
inline void store(Frame& frame, const Cursor& at, uint16_t coefficient) {
  const Slot& slot = frame.slots[static_cast<size_t>(at.slot)];
  Component& c = frame.component[static_cast<size_t>(slot.component)];
  // libjpeg keeps the DC sum in an int and stores it as a 16-bit coefficient: the low 16 bits
  // are all that reach the pixel.
  const int dequantised = static_cast<int16_t>(coefficient) * c.q0;
  c.plane[static_cast<size_t>(at.my * frame.v + slot.row) * static_cast<size_t>(c.planeWidth) +
          static_cast<size_t>(at.mx * frame.h + slot.col)] = rangeLimited((dequantised + 4) >> 3);
}

}  // namespace mirelo::services::images::jpeg_dc

#pragma once

// The pixel change that carries a bit: each data block's pixels are moved by `d` times the pattern
// so that its score lands on the nearest multiple of the step with the bit's parity (plus the
// block's aim offset). With headroom, a block whose nudge would be clamped at 0 or 255 gets a
// stronger, grey nudge, bisected until what survives the clamping lands on the target, and a block
// that cannot get there is first mapped linearly inside a margin. A plain block costs 768 rounded
// writes; a headroom block up to a few hundred trial nudges of 256 pixels. Thread-safe.

#include <cstddef>
#include <cstdint>
#include <span>

namespace mirelo::services::roomcard::watermark {

// The data blocks of a card: what they carry and what they are written from.
struct Marks {
  const uint8_t* colour;  // the drawing the blocks are written from: RGBA, flattened on white
  int width;  // of the card, in pixels
  std::span<const int> blocks;  // block of data bit i, as `order` lists them
  std::span<const uint8_t> bits;  // the coded packet
  std::span<const double> scores;  // each block's score in `colour`
  std::span<const double> offsets;  // each block's aim off its quantised value, 0 unless aimed
};

// Writes data block i into `out` (W × H pixels of `bands` bytes, its colour straight); whether
// some channel had to be clamped (a nudge that did not land whole).
bool nudgeBlock(const Marks& marks, size_t i, int step, bool headroom, uint8_t* out, int bands);
// Every data block, on two threads with headroom (its search is hundreds of trial writes a block);
// whether any was clamped.
bool nudgeBlocks(const Marks& marks, int step, bool headroom, uint8_t* out, int bands);

}  // namespace mirelo::services::roomcard::watermark

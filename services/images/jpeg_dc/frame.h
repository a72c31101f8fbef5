#pragma once

// A baseline JPEG's frame as the DC-only decoder needs it, read from the markers up to the end of
// its one scan, and the scan's entropy data copied without its byte stuffing, cut at the restart
// markers. Costs one pass over the headers and one copy of the entropy data (plus 512 bytes of
// zeros); false for anything the decoder leaves to a full one.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "huffman.h"

namespace mirelo::services::images::jpeg_dc {

constexpr size_t kPadding = 512;  // readable zeros past the data: one block overruns by at most 216 bytes
constexpr int kMaxComponents = 3;
constexpr int kMaxBlocksPerMcu = 10;  // as libjpeg allows

struct Component {
  int id = 0;
  int quant = 0;
  int dcTable = 0, acTable = 0;
  int16_t q0 = 0;  // the DC quantiser as libjpeg's islow multiplier table holds it (a short)
  std::vector<uint8_t> plane;  // one sample per block: the 1x1 IDCT of its DC term
  int planeWidth = 0;
};

// Where the n-th block of an MCU goes: its component and its place in the MCU.
struct Slot {
  int component = 0;
  int row = 0, col = 0;
};

struct Frame {
  int width = 0, height = 0;
  int h = 0, v = 0;  // the sampling factors, the same for every component
  int components = 0;
  std::array<Component, kMaxComponents> component;
  std::array<int, kMaxComponents> scanOrder{};
  int mcusWide = 0, mcusHigh = 0;
  int blocksPerMcu = 0;
  std::array<Slot, kMaxBlocksPerMcu> slots;
  int restart = 0;
  std::array<Huffman, 4> dc, ac;
};

// The frame, its tables and its scan's header from `jpeg`; `clean` the scan's entropy data
// without its stuffing, the restart markers cut out, `ends` the byte offsets where each interval
// ends. False unless the file is one baseline Huffman scan of 8-bit samples, every component
// sampled alike, and then the end of the image.
bool parse(std::string_view jpeg, Frame& frame, std::vector<uint8_t>& clean, std::vector<size_t>& ends);

}  // namespace mirelo::services::images::jpeg_dc

// Huffman tables and their skip entries; see huffman.h.
#include "huffman.h"

namespace mirelo::services::images::jpeg_dc {
namespace {

void buildSkips(Huffman& table) {
  for (uint32_t index = 0; index < (1u << kSkipBits); ++index) {
    uint32_t used = 0, allMoves = 0, allEnd = 0, first = 0;
    while (used < kSkipBits) {
      uint8_t symbol = 0;
      const int length = slowDecode(
          table, static_cast<uint32_t>((index << used) & ((1u << kSkipBits) - 1)) << (16 - kSkipBits), symbol);
      if (length < 0 || used + static_cast<uint32_t>(length) > kSkipBits) break;
      const uint32_t bits = static_cast<uint32_t>(length) + (symbol & 15u);
      const uint32_t end = symbol == 0 ? 1 : 0;
      if (used == 0) first = skipEntry(0, 0, 0, bits, moves(symbol), end);
      if (used + bits > kSkipBits || allMoves + moves(symbol) + end > 64) break;
      used += bits;
      allMoves += moves(symbol) + end;
      allEnd = end;
      if (end) break;
    }
    table.skip[index] = used ? first | skipEntry(used, allMoves, allEnd, 0, 0, 0) : first;
  }
}

}  // namespace

bool build(Huffman& table, const uint8_t* counts, const uint8_t* values, int total, bool dc) {
  table = Huffman{};
  if (total > 256) return false;
  std::memcpy(table.values.data(), values, static_cast<size_t>(total));
  int code = 0, index = 0;
  for (int length = 1; length <= 16; ++length) {
    const int count = counts[length - 1];
    table.offset[static_cast<size_t>(length)] = index - code;
    for (int i = 0; i < count; ++i, ++code, ++index) {
      if (code >= (1 << length)) return false;
      const uint8_t symbol = values[index];
      if (dc && symbol > 11) return false;
      if (dc && length <= kFastBits) {
        const int shift = kFastBits - length;
        for (int fill = 0; fill < (1 << shift); ++fill) {
          table.fast[static_cast<size_t>(code << shift | fill)] = static_cast<uint16_t>(length << 8 | symbol);
        }
      }
    }
    table.maxcode[static_cast<size_t>(length)] = count ? code - 1 : -1;
    code <<= 1;
  }
  if (!dc) buildSkips(table);
  table.defined = true;
  return true;
}

}  // namespace mirelo::services::images::jpeg_dc

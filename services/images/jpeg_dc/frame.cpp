// The frame's markers and the scan's unstuffing; see frame.h.
#include "frame.h"

namespace mirelo::services::images::jpeg_dc {
namespace {

uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

struct Parser {
  const uint8_t* data;
  size_t size;
  size_t at = 2;
  Frame& frame;
  std::array<std::array<uint16_t, 64>, 4> quant{};
  std::array<bool, 4> quantDefined{};
  bool sawFrame = false;

  bool segment(size_t& length) {
    if (at + 2 > size) return false;
    length = readU16(data + at);
    return length >= 2 && at + length <= size;
  }

  bool quantTables(size_t length) {
    size_t p = at + 2, end = at + length;
    while (p < end) {
      const int precision = data[p] >> 4, index = data[p] & 15;
      ++p;
      if (index > 3 || precision > 1 || p + size_t{64} * static_cast<unsigned>(precision + 1) > end) return false;
      for (size_t i = 0; i < 64; ++i) {
        quant[static_cast<size_t>(index)][i] = precision ? readU16(data + p + 2 * i) : data[p + i];
      }
      p += size_t{64} * static_cast<unsigned>(precision + 1);
      quantDefined[static_cast<size_t>(index)] = true;
    }
    return true;
  }

  bool huffmanTables(size_t length) {
    size_t p = at + 2, end = at + length;
    while (p < end) {
      if (p + 17 > end) return false;
      const int kind = data[p] >> 4, index = data[p] & 15;
      if (kind > 1 || index > 3) return false;
      int total = 0;
      for (int i = 1; i <= 16; ++i) total += data[p + static_cast<size_t>(i)];
      if (p + 17 + static_cast<size_t>(total) > end) return false;
      Huffman& table = kind ? frame.ac[static_cast<size_t>(index)] : frame.dc[static_cast<size_t>(index)];
      if (!build(table, data + p + 1, data + p + 17, total, kind == 0)) return false;
      p += 17 + static_cast<size_t>(total);
    }
    return true;
  }

  bool startOfFrame(size_t length) {
    if (sawFrame || length < 8) return false;
    sawFrame = true;
    const uint8_t* p = data + at + 2;
    if (p[0] != 8) return false;
    frame.height = readU16(p + 1);
    frame.width = readU16(p + 3);
    frame.components = p[5];
    if (frame.width < 1 || frame.height < 1 || (frame.components != 1 && frame.components != 3) ||
        length != 8 + 3 * static_cast<size_t>(frame.components)) {
      return false;
    }
    for (int i = 0; i < frame.components; ++i) {
      const uint8_t* c = p + 6 + ptrdiff_t{3} * i;
      const int h = c[1] >> 4, v = c[1] & 15;
      if (h < 1 || h > 4 || v < 1 || v > 4 || c[2] > 3) return false;
      if (i == 0) {
        frame.h = h;
        frame.v = v;
      } else if (h != frame.h || v != frame.v) {
        return false;  // subsampled: libjpeg scales those components by a larger IDCT
      }
      for (int j = 0; j < i; ++j) {
        if (frame.component[static_cast<size_t>(j)].id == c[0]) return false;
      }
      frame.component[static_cast<size_t>(i)].id = c[0];
      frame.component[static_cast<size_t>(i)].quant = c[2];
    }
    // One component is its own scan: an MCU of one block, whatever its sampling factors say.
    if (frame.components == 1) frame.h = frame.v = 1;
    return true;
  }

  bool startOfScan(size_t length) {
    const uint8_t* p = data + at + 2;
    if (!sawFrame || length < 3 || p[0] != frame.components || length != 6 + 2 * static_cast<size_t>(p[0])) {
      return false;
    }
    std::array<bool, kMaxComponents> seen{};
    for (int s = 0; s < frame.components; ++s) {
      const uint8_t* c = p + 1 + ptrdiff_t{2} * s;
      int index = -1;
      for (int i = 0; i < frame.components; ++i) {
        if (frame.component[static_cast<size_t>(i)].id == c[0]) index = i;
      }
      if (index < 0 || seen[static_cast<size_t>(index)]) return false;
      seen[static_cast<size_t>(index)] = true;
      Component& component = frame.component[static_cast<size_t>(index)];
      component.dcTable = c[1] >> 4;
      component.acTable = c[1] & 15;
      if (component.dcTable > 3 || component.acTable > 3 || !frame.dc[static_cast<size_t>(component.dcTable)].defined ||
          !frame.ac[static_cast<size_t>(component.acTable)].defined ||
          !quantDefined[static_cast<size_t>(component.quant)]) {
        return false;
      }
      component.q0 = static_cast<int16_t>(quant[static_cast<size_t>(component.quant)][0]);
      frame.scanOrder[static_cast<size_t>(s)] = index;
    }
    frame.blocksPerMcu = frame.components * frame.h * frame.v;
    if (frame.blocksPerMcu > kMaxBlocksPerMcu) return false;
    size_t n = 0;
    for (int s = 0; s < frame.components; ++s) {
      for (int row = 0; row < frame.v; ++row) {
        for (int col = 0; col < frame.h; ++col)
          frame.slots[n++] = Slot{frame.scanOrder[static_cast<size_t>(s)], row, col};
      }
    }
    const uint8_t* tail = p + 1 + ptrdiff_t{2} * frame.components;
    return tail[0] == 0 && tail[1] == 63 && tail[2] == 0;  // the whole band, no approximation: baseline
  }
};

// The scan's entropy data without its stuffing, the restart markers cut out; the byte offsets
// where each interval ends, and the offset of the marker that ends the scan.
bool unstuff(const uint8_t* data, size_t size, size_t at, std::vector<uint8_t>& clean, std::vector<size_t>& ends,
             size_t& marker) {
  clean.reserve(size - at + kPadding);
  int expected = 0;
  while (at < size) {
    const auto* ff = static_cast<const uint8_t*>(std::memchr(data + at, 0xFF, size - at));
    if (!ff) return false;
    clean.insert(clean.end(), data + at, ff);
    size_t j = static_cast<size_t>(ff - data) + 1;
    while (j < size && data[j] == 0xFF) ++j;
    if (j >= size) return false;
    const uint8_t code = data[j];
    if (code == 0) {
      clean.push_back(0xFF);
    } else if (code >= 0xD0 && code <= 0xD7) {
      if (code != 0xD0 + expected) return false;
      expected = (expected + 1) & 7;
      ends.push_back(clean.size());
    } else {
      ends.push_back(clean.size());
      marker = j - 1;
      clean.resize(clean.size() + kPadding, 0);
      return true;
    }
    at = j + 1;
  }
  return false;
}

}  // namespace

bool parse(std::string_view jpeg, Frame& frame, std::vector<uint8_t>& clean, std::vector<size_t>& ends) {
  const auto* data = reinterpret_cast<const uint8_t*>(jpeg.data());
  const size_t size = jpeg.size();
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
  Parser parser{data, size, 2, frame, {}, {}, false};
  for (;;) {
    if (parser.at + 2 > size || data[parser.at] != 0xFF) return false;
    size_t p = parser.at + 1;
    while (p < size && data[p] == 0xFF) ++p;
    if (p >= size) return false;
    const uint8_t code = data[p];
    parser.at = p + 1;
    size_t length = 0;
    if (!parser.segment(length)) return false;
    bool ok = true;
    if (code == 0xC0 || code == 0xC1) {
      ok = parser.startOfFrame(length);
    } else if (code == 0xC4) {
      ok = parser.huffmanTables(length);
    } else if (code == 0xDB) {
      ok = parser.quantTables(length);
    } else if (code == 0xDD) {
      ok = length == 4;
      if (ok) frame.restart = readU16(data + parser.at + 2);
    } else if (code == 0xDA) {
      if (!parser.startOfScan(length)) return false;
      size_t marker = 0;
      if (!unstuff(data, size, parser.at + length, clean, ends, marker)) return false;
      if (marker + 1 >= size || data[marker + 1] != 0xD9) return false;  // one scan, then the end
      break;
    } else if (!((code >= 0xE0 && code <= 0xEF) || code == 0xFE)) {
      return false;  // progressive, arithmetic, lossless, hierarchical, DNL, stray markers
    }
    if (!ok) return false;
    parser.at += length;
  }
  return true;
}

}  // namespace mirelo::services::images::jpeg_dc

#include "jpeg_dc.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

namespace mirelo::services::images {
namespace {

constexpr int kFastBits = 10;
constexpr int kSkipBits = 12;
constexpr size_t kPadding = 512;  // readable zeros past the data: one block overruns by at most 216 bytes
constexpr int kMaxComponents = 3;
constexpr int kMaxBlocksPerMcu = 10;  // as libjpeg allows

uint16_t readU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

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
// prefix is no larger than that length's last code is the code's length.
int slowDecode(const Huffman& table, uint32_t peek16, uint8_t& symbol) {
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
uint32_t moves(uint8_t symbol) {
  const uint32_t size = symbol & 15u, run = symbol >> 4;
  return size ? run + 1 : run == 15 ? 16 : 0;
}

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

// The table from a DHT segment's counts and values; false for a table libjpeg would refuse too
// (more codes than a length holds, over 256 values) or, for DC, a size beyond 8-bit samples.
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

// libjpeg's range limit after its 1x1 IDCT, indexed by the descaled value & 1023: 0..127 are
// +128, then clamped high, then clamped low, then -128..-1 as 0..127. Odd values wrap the way
// libjpeg's do.
uint8_t rangeLimited(int value) {
  const int index = value & 1023;
  if (index < 128) return static_cast<uint8_t>(index + 128);
  if (index < 512) return 255;
  if (index < 896) return 0;
  return static_cast<uint8_t>(index - 896);
}

size_t position(const Bits& bits, const uint8_t* data) {
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
void store(Frame& frame, const Cursor& at, uint16_t coefficient) {
  const Slot& slot = frame.slots[static_cast<size_t>(at.slot)];
  Component& c = frame.component[static_cast<size_t>(slot.component)];
  // libjpeg keeps the DC sum in an int and stores it as a 16-bit coefficient: the low 16 bits
  // are all that reach the pixel.
  const int dequantised = static_cast<int16_t>(coefficient) * c.q0;
  c.plane[static_cast<size_t>(at.my * frame.v + slot.row) * static_cast<size_t>(c.planeWidth) +
          static_cast<size_t>(at.mx * frame.h + slot.col)] = rangeLimited((dequantised + 4) >> 3);
}

// The blocks [first, last) of one restart interval (or of the whole scan), from the bits in
// [beginBits, endBits); false on any irregularity.
bool decodeInterval(Frame& frame, const uint8_t* data, size_t beginBits, size_t endBits, int64_t first, int64_t last) {
  Bits bits{data + beginBits / 8};
  bits.refill();
  bits.skip(static_cast<int>(beginBits % 8));
  std::array<uint16_t, kMaxComponents> predictor{};
  for (Cursor at(frame, first); first < last; ++first, at.next(frame)) {
    const Slot& slot = frame.slots[static_cast<size_t>(at.slot)];
    const Component& c = frame.component[static_cast<size_t>(slot.component)];
    int diff;
    if (!decodeBlock(bits, frame.dc[static_cast<size_t>(c.dcTable)], frame.ac[static_cast<size_t>(c.acTable)], diff) ||
        position(bits, data) > endBits) {
      return false;
    }
    uint16_t& predicted = predictor[static_cast<size_t>(slot.component)];
    predicted = static_cast<uint16_t>(predicted + static_cast<uint16_t>(diff));
    store(frame, at, predicted);
  }
  // What an encoder leaves is the padding to a whole byte; more is data libjpeg warns about.
  return endBits - position(bits, data) < 8;
}

// A scan without restart markers on two threads. The second starts in the middle of the bits
// as if a block began there and records where each of its blocks began. Huffman codes fall back
// into step after a few symbols; the first thread, decoding from the start, stops at the first
// block that begins where one of the second's began, in the same place of the MCU: from there on
// both would decode the same. The second's DC terms are sums from zero; the first's predictors at
// that block make them absolute. When the two never meet (or the second's end does not add up),
// the first decodes on alone.
class Speculative {
 public:
  Speculative(Frame& frame, const uint8_t* data, size_t endBits)
      : frame_(frame),
        data_(data),
        endBits_(endBits),
        blocks_(static_cast<int64_t>(frame.mcusWide) * frame.mcusHigh * frame.blocksPerMcu) {}

  bool run() {
    const size_t middle = endBits_ / 16 * 8;
    // Not zeroed: each is written before it is read, and the pages are touched only as used.
    starts_.reset(new uint32_t[kWindow]);
    sumCount_ = static_cast<size_t>(blocks_) + 1;
    sums_.reset(new uint16_t[sumCount_]);
    std::thread tail([&] { decodeTail(middle); });
    const bool ok = decodeHead(middle);
    stop_.store(true, std::memory_order_relaxed);
    tail.join();
    return ok;
  }

 private:
  static constexpr size_t kWindow = 1 << 14;

  void decodeTail(size_t beginBits) {
    const auto bpm = static_cast<size_t>(frame_.blocksPerMcu);
    Bits bits{data_ + beginBits / 8};
    bits.refill();
    std::array<uint16_t, kMaxComponents> predictor{};
    size_t n = 0;
    for (size_t slotIndex = 0; n < sumCount_; ++n, slotIndex = slotIndex + 1 == bpm ? 0 : slotIndex + 1) {
      const size_t at = position(bits, data_);
      if (at == endBits_) break;
      if (n < kWindow) {
        starts_[n] = static_cast<uint32_t>(at);
        if (n % 256 == 255) published_.store(n + 1, std::memory_order_release);
      } else if (n % 1024 == 0 && stop_.load(std::memory_order_relaxed)) {
        break;
      }
      const Slot& slot = frame_.slots[slotIndex];
      const Component& c = frame_.component[static_cast<size_t>(slot.component)];
      int diff;
      if (!decodeBlock(bits, frame_.dc[static_cast<size_t>(c.dcTable)], frame_.ac[static_cast<size_t>(c.acTable)],
                       diff) ||
          position(bits, data_) > endBits_) {
        break;
      }
      uint16_t& predicted = predictor[static_cast<size_t>(slot.component)];
      predicted = static_cast<uint16_t>(predicted + static_cast<uint16_t>(diff));
      sums_[n] = predicted;
      tailEnd_ = position(bits, data_);
    }
    tailBlocks_ = n;
    published_.store(std::min(n, kWindow), std::memory_order_release);
    tailDone_.store(true, std::memory_order_release);
    tailDone_.notify_one();
  }

  bool decodeHead(size_t middle) {
    Bits bits{data_};
    bits.refill();
    std::array<uint16_t, kMaxComponents> predictor{};
    size_t seen = 0;  // the second thread's starts before the current position
    bool looking = true;
    const auto bpm = static_cast<size_t>(frame_.blocksPerMcu);
    Cursor cursor(frame_, 0);
    for (int64_t block = 0; block < blocks_; ++block, cursor.next(frame_)) {
      const size_t at = position(bits, data_);
      if (looking && at >= middle) {
        size_t published = published_.load(std::memory_order_acquire);
        while (seen < published && starts_[seen] < at) ++seen;
        if (seen < published && starts_[seen] == at && seen % bpm == static_cast<size_t>(block) % bpm) {
          if (joinTail(block, seen, predictor)) return true;
          looking = false;
        } else if (seen == kWindow || (seen == published && tailDone_.load(std::memory_order_acquire))) {
          looking = false;  // no meeting within the window: on alone, and the second thread stops
          stop_.store(true, std::memory_order_relaxed);
        }
      }
      const Slot& slot = frame_.slots[static_cast<size_t>(cursor.slot)];
      const Component& c = frame_.component[static_cast<size_t>(slot.component)];
      int diff;
      if (!decodeBlock(bits, frame_.dc[static_cast<size_t>(c.dcTable)], frame_.ac[static_cast<size_t>(c.acTable)],
                       diff) ||
          position(bits, data_) > endBits_) {
        return false;
      }
      uint16_t& predicted = predictor[static_cast<size_t>(slot.component)];
      predicted = static_cast<uint16_t>(predicted + static_cast<uint16_t>(diff));
      store(frame_, cursor, predicted);
    }
    return endBits_ - position(bits, data_) < 8;
  }

  // The first thread at block `block` meets the second's block `local`: once the second has
  // finished, its blocks from there are the scan's rest if their count and end add up.
  bool joinTail(int64_t block, size_t local, const std::array<uint16_t, kMaxComponents>& predictor) {
    tailDone_.wait(false, std::memory_order_acquire);
    if (static_cast<int64_t>(tailBlocks_ - local) != blocks_ - block || endBits_ - tailEnd_ >= 8) return false;
    const auto bpm = static_cast<size_t>(frame_.blocksPerMcu);
    // The second thread's sums just before `local`, per component: what its count began from.
    std::array<uint16_t, kMaxComponents> base{};
    std::array<bool, kMaxComponents> found{};
    for (size_t back = 1; back <= bpm && back <= local; ++back) {
      const int component = frame_.slots[(local - back) % bpm].component;
      if (!found[static_cast<size_t>(component)]) {
        found[static_cast<size_t>(component)] = true;
        base[static_cast<size_t>(component)] = sums_[local - back];
      }
    }
    Cursor cursor(frame_, block);
    for (size_t n = local; n < tailBlocks_; ++n, cursor.next(frame_)) {
      const auto component = static_cast<size_t>(frame_.slots[static_cast<size_t>(cursor.slot)].component);
      store(frame_, cursor, static_cast<uint16_t>(predictor[component] + sums_[n] - base[component]));
    }
    return true;
  }

  Frame& frame_;
  const uint8_t* data_;
  size_t endBits_;
  int64_t blocks_;
  std::unique_ptr<uint32_t[]> starts_;
  std::unique_ptr<uint16_t[]> sums_;
  size_t sumCount_ = 0;
  std::atomic<size_t> published_{0};
  std::atomic<bool> tailDone_{false}, stop_{false};
  size_t tailBlocks_ = 0, tailEnd_ = 0;  // written before tailDone_ is set
};

struct Parser {
  const uint8_t* data;
  size_t size;
  size_t at = 2;
  Frame frame;
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
      if (index > 3 || precision > 1 || p + 64u * static_cast<unsigned>(precision + 1) > end) return false;
      for (size_t i = 0; i < 64; ++i) {
        quant[static_cast<size_t>(index)][i] = precision ? readU16(data + p + 2 * i) : data[p + i];
      }
      p += 64u * static_cast<unsigned>(precision + 1);
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
      const uint8_t* c = p + 6 + 3 * i;
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
      const uint8_t* c = p + 1 + 2 * s;
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
    const uint8_t* tail = p + 1 + 2 * frame.components;
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

std::optional<DcPicture> decode(std::string_view jpeg, bool rgb, int64_t parallelFrom) {
  const auto* data = reinterpret_cast<const uint8_t*>(jpeg.data());
  const size_t size = jpeg.size();
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return std::nullopt;
  Parser parser{data, size, 2, {}, {}, {}, false};
  Frame& frame = parser.frame;
  std::vector<uint8_t> clean;
  std::vector<size_t> ends;
  for (;;) {
    if (parser.at + 2 > size || data[parser.at] != 0xFF) return std::nullopt;
    size_t p = parser.at + 1;
    while (p < size && data[p] == 0xFF) ++p;
    if (p >= size) return std::nullopt;
    const uint8_t code = data[p];
    parser.at = p + 1;
    size_t length = 0;
    if (!parser.segment(length)) return std::nullopt;
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
      if (!parser.startOfScan(length)) return std::nullopt;
      size_t marker = 0;
      if (!unstuff(data, size, parser.at + length, clean, ends, marker)) return std::nullopt;
      if (marker + 1 >= size || data[marker + 1] != 0xD9) return std::nullopt;  // one scan, then the end
      break;
    } else if (!((code >= 0xE0 && code <= 0xEF) || code == 0xFE)) {
      return std::nullopt;  // progressive, arithmetic, lossless, hierarchical, DNL, stray markers
    }
    if (!ok) return std::nullopt;
    parser.at += length;
  }

  const int64_t blockW = 8 * frame.h, blockH = 8 * frame.v;
  frame.mcusWide = static_cast<int>((frame.width + blockW - 1) / blockW);
  frame.mcusHigh = static_cast<int>((frame.height + blockH - 1) / blockH);
  const int64_t mcus = static_cast<int64_t>(frame.mcusWide) * frame.mcusHigh;
  const int64_t interval = frame.restart ? frame.restart : mcus;
  if (static_cast<int64_t>(ends.size()) != (mcus + interval - 1) / interval) return std::nullopt;
  // Every block takes two bits at least (a DC code, an AC code): a scan too short for its blocks
  // is refused before anything the size of the picture is allocated.
  if (mcus * frame.blocksPerMcu > static_cast<int64_t>(ends.back()) * 4) return std::nullopt;
  for (int i = 0; i < frame.components; ++i) {
    Component& c = frame.component[static_cast<size_t>(i)];
    c.planeWidth = frame.mcusWide * frame.h;
    c.plane.resize(static_cast<size_t>(c.planeWidth) * static_cast<size_t>(frame.mcusHigh * frame.v));
  }
  const int64_t bpm = frame.blocksPerMcu;
  const auto intervals = [&](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      const size_t begin = i ? ends[i - 1] : 0;
      const int64_t first = static_cast<int64_t>(i) * interval;
      if (!decodeInterval(frame, clean.data(), begin * 8, ends[i] * 8, first * bpm,
                          std::min(mcus, first + interval) * bpm)) {
        return false;
      }
    }
    return true;
  };
  const size_t count = ends.size();
  bool decoded = false;
  try {
    if (mcus * bpm < parallelFrom) {
      decoded = intervals(0, count);
    } else if (count >= 2) {
      // The intervals write disjoint blocks of the planes and read shared tables only.
      bool second = false;
      std::thread helper([&] { second = intervals(count / 2, count); });
      const bool firstHalf = intervals(0, count / 2);
      helper.join();
      decoded = firstHalf && second;
    } else if (ends[0] * 8 < UINT32_MAX) {  // bit offsets are kept in 32 bits
      decoded = Speculative(frame, clean.data(), ends[0] * 8).run();
    } else {
      decoded = intervals(0, count);
    }
  } catch (const std::system_error&) {
    decoded = intervals(0, count);  // no second thread to be had
  }
  if (!decoded) return std::nullopt;

  DcPicture picture;
  picture.width = (frame.width + 7) / 8;
  picture.height = (frame.height + 7) / 8;
  picture.bands = frame.components;
  picture.pixels.resize(static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) *
                        static_cast<size_t>(picture.bands));
  uint8_t* out = picture.pixels.data();
  const auto sample = [&](int ci, int x, int y) {
    const Component& c = frame.component[static_cast<size_t>(ci)];
    return c.plane[static_cast<size_t>(y) * static_cast<size_t>(c.planeWidth) + static_cast<size_t>(x)];
  };
  if (frame.components == 1 || rgb) {
    for (int y = 0; y < picture.height; ++y) {
      for (int x = 0; x < picture.width; ++x) {
        for (int ci = 0; ci < frame.components; ++ci) *out++ = sample(ci, x, y);
      }
    }
    return picture;
  }
  // libjpeg's YCbCr to RGB, fixed point with 16 fraction bits, the same tables and rounding.
  constexpr int kScale = 16;
  constexpr int32_t kHalf = 1 << (kScale - 1);
  const auto fix = [](double x) { return static_cast<int32_t>(x * (1 << kScale) + 0.5); };
  std::array<int, 256> crR{}, cbB{};
  std::array<int32_t, 256> crG{}, cbG{};
  for (int i = 0; i < 256; ++i) {
    const int32_t x = i - 128;
    crR[static_cast<size_t>(i)] = (fix(1.40200) * x + kHalf) >> kScale;
    cbB[static_cast<size_t>(i)] = (fix(1.77200) * x + kHalf) >> kScale;
    crG[static_cast<size_t>(i)] = -fix(0.71414) * x;
    cbG[static_cast<size_t>(i)] = -fix(0.34414) * x + kHalf;
  }
  const auto clamp = [](int value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value); };
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      const int luma = sample(0, x, y);
      const size_t cb = sample(1, x, y), cr = sample(2, x, y);
      *out++ = clamp(luma + crR[cr]);
      *out++ = clamp(luma + ((cbG[cb] + crG[cr]) >> kScale));
      *out++ = clamp(luma + cbB[cb]);
    }
  }
  return picture;
}

}  // namespace

std::optional<DcPicture> decodeDc(std::string_view jpeg, bool rgb, int64_t parallelFrom) {
  try {
    return decode(jpeg, rgb, parallelFrom);
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // the full decoder's turn, with its own bounds
  }
}

}  // namespace mirelo::services::images

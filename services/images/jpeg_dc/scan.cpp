// The scan's restart intervals, on one thread or two; see scan.h.
#include "scan.h"

#include <algorithm>
#include <array>
#include <system_error>
#include <thread>

#include "block.h"
#include "mid_scan.h"

namespace mirelo::services::images::jpeg_dc {
namespace {

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

}  // namespace

bool decodeScan(Frame& frame, const std::vector<uint8_t>& clean, const std::vector<size_t>& ends,
                int64_t parallelFrom) {
  const int64_t mcus = static_cast<int64_t>(frame.mcusWide) * frame.mcusHigh;
  const int64_t interval = frame.restart ? frame.restart : mcus;
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
    // Small scans, and a scan whose bit offsets would not fit the second thread's 32 bits.
    const bool oneThread = mcus * bpm < parallelFrom || (count < 2 && ends[0] * 8 >= UINT32_MAX);
    if (oneThread) {
      decoded = intervals(0, count);
    } else if (count >= 2) {
      // The intervals write disjoint blocks of the planes and read shared tables only.
      bool second = false;
      std::thread helper([&] { second = intervals(count / 2, count); });
      const bool firstHalf = intervals(0, count / 2);
      helper.join();
      decoded = firstHalf && second;
    } else {
      decoded = decodeFromMidScan(frame, clean.data(), ends[0] * 8);
    }
  } catch (const std::system_error&) {
    decoded = intervals(0, count);  // no second thread to be had
  }
  return decoded;
}

}  // namespace mirelo::services::images::jpeg_dc

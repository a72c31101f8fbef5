// The two-thread decode of a scan without restart markers; see mid_scan.h.
#include "mid_scan.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <thread>

#include "block.h"

namespace mirelo::services::images::jpeg_dc {
namespace {

// A scan without restart markers on two threads. The second starts in the middle of the bits
// as if a block began there and records where each of its blocks began. Huffman codes fall back
// into step after a few symbols; the first thread, decoding from the start, stops at the first
// block that begins where one of the second's began, in the same place of the MCU: from there on
// both would decode the same. The second's DC terms are sums from zero; the first's predictors at
// that block make them absolute. When the two never meet (or the second's end does not add up),
// the first decodes on alone.
class MidScan {
 public:
  MidScan(Frame& frame, const uint8_t* data, size_t endBits)
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

}  // namespace

bool decodeFromMidScan(Frame& frame, const uint8_t* data, size_t endBits) {
  return MidScan(frame, data, endBits).run();
}

}  // namespace mirelo::services::images::jpeg_dc

// The nudge of each data block; see nudge.h.
#include "nudge.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>

#include "format.h"
#include "two_threads.h"

namespace mirelo::services::roomcard::watermark {
namespace {

using Samples = std::array<double, 256>;

// roundHalfAway for |value| < 2^31, without branches.
inline double roundSmall(double value) {
  const double truncated = static_cast<double>(static_cast<int32_t>(value));
  const double fraction = value - truncated;
  const double up = fraction >= 0.5 ? 1.0 : 0.0, down = fraction <= -0.5 ? 1.0 : 0.0;
  return truncated + up - down;
}

// Each pixel's brightness (the sum of its channels) once a grey nudge of `dd` times its weight is
// added, limited to what the pixel's darkest and brightest channels allow, each channel rounded
// and clamped to 0 … 255. Plain selects, so the loop runs on vectors.
void nudgedBrightness(const std::array<Samples, 3>& channels, const Samples& darkest, const Samples& brightest,
                      const Samples& weights, double dd, Samples& out) {
  const auto clamped = [](double value, double low, double high) {
    const double above = value < low ? low : value;
    return above > high ? high : above;
  };
  for (int k = 0; k < 256; ++k) {
    const double delta = clamped(dd * weights[k], -darkest[k], 255 - brightest[k]);
    out[k] = 0.0 + clamped(roundSmall(channels[0][k] + delta), 0.0, 255.0) +
             clamped(roundSmall(channels[1][k] + delta), 0.0, 255.0) +
             clamped(roundSmall(channels[2][k] + delta), 0.0, 255.0);
  }
}

// One block's nudge: its target, and with headroom the search for the nudge that reaches it.
// Where even a strengthened nudge cannot reach the target (a block clamped at both ends), its
// channels are first mapped linearly into lo … hi, only as far inside as the nudge needs: the map
// scales the score by (hi − lo) / 255 (the pattern sums to zero), so the nudge is worked out
// again from the mapped score.
class BlockNudge {
 public:
  BlockNudge(const Marks& marks, size_t i, int step, bool headroom)
      : marks_(marks),
        i_(i),
        step_(step),
        headroom_(headroom),
        left_(blockSize * (marks.blocks[i] % (marks.width / blockSize))),
        top_(blockSize * (marks.blocks[i] / (marks.width / blockSize))) {
    aim();
    if (headroom_) search();
  }

  // Writes the block; whether some channel was clamped.
  bool writeTo(uint8_t* out, int bands) const {
    bool clamped = false;
    const double scale = (hi_ - lo_) / 255;
    for (int row = 0; row < blockSize; ++row) {
      const size_t offset = (static_cast<size_t>(top_ + row) * marks_.width + left_) * 4;
      const uint8_t* from = &marks_.colour[offset];
      uint8_t* to = out + offset / 4 * bands;
      for (int column = 0; column < blockSize; ++column, from += 4, to += bands) {
        const double delta = shift(row * blockSize + column, d_);
        for (int channel = 0; channel < 3; ++channel) {
          const double value = roundHalfAway(lo_ + from[channel] * scale + delta);
          clamped = clamped || value < 0 || value > 255;
          to[channel] = static_cast<uint8_t>(std::clamp(value, 0.0, 255.0));
        }
      }
    }
    return clamped;
  }

 private:
  const uint8_t* pixel(int k) const {
    return &marks_.colour[(static_cast<size_t>(top_ + k / 16) * marks_.width + left_ + k % 16) * 4];
  }

  // The target: the nearest multiple of the step with the bit's parity, plus the block's offset;
  // half the distance is the nudge, since the pattern's squares sum to 2.
  void aim() {
    const double score = marks_.scores[i_];
    c_ = lo_ == 0 && hi_ == 255 ? score : score * (hi_ - lo_) / 255;
    auto q = static_cast<int64_t>(roundHalfAway(c_ / step_));
    if ((q & 1) != marks_.bits[i_]) {
      q = std::fabs(step_ * (static_cast<double>(q) - 1.0) - c_) <
                  std::fabs(step_ * (static_cast<double>(q) + 1.0) - c_)
              ? q - 1
              : q + 1;
    }
    target_ = step_ * static_cast<double>(q) + marks_.offsets[i_];
    d_ = (target_ - c_) * 0.5;
  }

  // Each channel of the block mapped into lo … hi, and each pixel's darkest and brightest mapped
  // channel: the search tries hundreds of nudges on the same values.
  void mapBlock() {
    const double scale = (hi_ - lo_) / 255;
    for (int k = 0; k < 256; ++k) {
      const uint8_t* p = pixel(k);
      for (int channel = 0; channel < 3; ++channel) mapped_[channel][k] = lo_ + p[channel] * scale;
      darkest_[k] = lo_ + std::min({p[0], p[1], p[2]}) * scale;
      brightest_[k] = lo_ + std::max({p[0], p[1], p[2]}) * scale;
    }
  }

  // The change of pixel k under nudge `dd`. With headroom it is grey, the same in each channel,
  // and stops where the pixel's darkest or brightest channel clips.
  double shift(int k, double dd) const {
    const double raw = dd * weights_[k];
    if (!headroom_) return raw;
    return std::clamp(raw, -darkest_[k], 255 - brightest_[k]);
  }

  // The block's score once written with headroom nudge `dd`, rounding and clamping included.
  // The pixels are worked out free of branches, then summed in order.
  double landed(double dd) const {
    Samples brightness;
    nudgedBrightness(mapped_, darkest_, brightest_, weights_, dd, brightness);
    double sum = 0;
    for (int k = 0; k < 256; ++k) sum += weights_[k] * brightness[k] / 3;
    return sum;
  }

  void search() {
    mapBlock();
    for (int round = 0; round < 4 && std::fabs(landed(d_) - target_) > 1; ++round) {
      if (bisect()) break;
      makeRoom();
      aim();
      mapBlock();
    }
  }

  // Stronger nudges reach further while the clamped part grows; bisects for the target when a
  // nudge eight times as strong passes it. Whether it did.
  bool bisect() {
    double near = d_, far = d_ * 8;
    if (!((landed(far) - target_) * (target_ - c_) >= 0)) return false;
    for (int halving = 0; halving < 14; ++halving) {
      const double middle = (near + far) / 2;
      ((landed(middle) - target_) * (target_ - c_) < 0 ? near : far) = middle;
    }
    d_ = far;
    return true;
  }

  // Out of reach: room at the clamped ends, as much as the present nudge overshoots them.
  void makeRoom() {
    double under = 0, over = 0;
    for (int k = 0; k < 256; ++k) {
      for (int channel = 0; channel < 3; ++channel) {
        const double value = lo_ + pixel(k)[channel] * (hi_ - lo_) / 255 + d_ * weights_[k];
        under = std::max(under, -0.5 - value);
        over = std::max(over, value - 255.5);
      }
    }
    lo_ = std::min(lo_ + std::ceil(under), 64.0);
    hi_ = std::max(hi_ - std::ceil(over), 191.0);
  }

  const Marks& marks_;
  const Samples& weights_ = basis();
  const size_t i_;
  const int step_;
  const bool headroom_;
  const int left_, top_;
  double lo_ = 0, hi_ = 255, d_ = 0, target_ = 0, c_ = 0;
  std::array<Samples, 3> mapped_;
  Samples darkest_, brightest_;
};

}  // namespace

bool nudgeBlock(const Marks& marks, size_t i, int step, bool headroom, uint8_t* out, int bands) {
  return BlockNudge(marks, i, step, headroom).writeTo(out, bands);
}

bool nudgeBlocks(const Marks& marks, int step, bool headroom, uint8_t* out, int bands) {
  std::atomic<bool> anyClamped{false};
  // Blocks do not overlap, so two threads may write them.
  const auto one = [&](size_t i) {
    if (nudgeBlock(marks, i, step, headroom, out, bands)) anyClamped.store(true, std::memory_order_relaxed);
  };
  const size_t count = marks.bits.size();
  if (headroom) {
    constexpr size_t chunk = 64;
    allPass((count + chunk - 1) / chunk, [&](size_t task, int) {
      for (size_t i = task * chunk; i < std::min(count, (task + 1) * chunk); ++i) one(i);
      return true;
    });
  } else {
    for (size_t i = 0; i < count; ++i) one(i);
  }
  return anyClamped.load();
}

}  // namespace mirelo::services::roomcard::watermark

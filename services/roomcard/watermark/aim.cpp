// Aiming drifting blocks off their quantised value; see aim.h.
#include "aim.h"

#include <algorithm>

namespace mirelo::services::roomcard::watermark {
namespace {

constexpr int kAimRounds = 2;
constexpr double kAimFrom = 0.2, kAimLimit = 0.35;

}  // namespace

bool aimOff(SelfCheck& check, const Buffer& pixels, int step, std::vector<double>& offsets,
            const std::function<void()>& remake) {
  bool aimed = false;
  for (int round = 0; round < kAimRounds; ++round) {
    const auto [low, high] = check.drift(pixels.data());
    bool moved = false;
    size_t beyond = 0;  // blocks whose drifts would still leave their bin once aimed
    for (size_t i = 0; i < offsets.size(); ++i) {
      if (std::max(-low[i], high[i]) > kAimFrom * step) {
        offsets[i] = std::clamp(-(low[i] + high[i]) / 2, -kAimLimit * step, kAimLimit * step);
        moved = true;
      }
      beyond += std::max(high[i] + offsets[i], -(low[i] + offsets[i])) > 0.5 * step;
    }
    if (beyond > check.codewords() / 4) return false;
    if (!moved) break;
    remake();
    aimed = true;
  }
  return aimed;
}

}  // namespace mirelo::services::roomcard::watermark

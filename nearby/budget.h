#pragma once

// The pending-byte budgets of the channels: bytes handed over by sends and not yet written, at
// most maxPendingPerConnection per channel and maxPendingTotal in all. A send past either is
// refused ("QUEUE_FULL"). Pure arithmetic; the channel keeps its own count, this the total.

#include <cstdint>

#include "bounds.h"

namespace nearby {

class PendingBudget {
 public:
  // Whether `bytes` more fit, on a channel that has `channelPending` already.
  bool fits(int64_t channelPending, int64_t bytes) const {
    return channelPending + bytes <= maxPendingPerConnection && total_ + bytes <= maxPendingTotal;
  }
  void take(int64_t bytes) { total_ += bytes; }
  void give(int64_t bytes) { total_ -= bytes; }
  int64_t total() const { return total_; }
  void clear() { total_ = 0; }

 private:
  int64_t total_ = 0;
};

}  // namespace nearby

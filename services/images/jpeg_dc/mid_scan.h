#pragma once

// A scan without restart markers decoded on two threads: the second starts in the middle of the
// bits as if a block began there, the first from the start, until the first reaches a block the
// second began at. Costs a thread for one call, 64 KiB of the second's block starts and two bytes
// per block of its DC sums. When the two meet, the first decodes about half of the scan; when they
// never do, it decodes all of it, and the second's work is wasted.

#include <cstddef>
#include <cstdint>

#include "frame.h"

namespace mirelo::services::images::jpeg_dc {

// The planes of `frame` from the bits [0, endBits) of `data` (endBits under 2^32); false on any
// irregularity. Throws std::system_error when no thread can be started, before anything is
// decoded.
bool decodeFromMidScan(Frame& frame, const uint8_t* data, size_t endBits);

}  // namespace mirelo::services::images::jpeg_dc

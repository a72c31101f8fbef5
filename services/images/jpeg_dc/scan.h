#pragma once

// The scan's blocks into the planes of the frame, one restart interval after another: on one
// thread below `parallelFrom` blocks, else on two, split between the intervals or, with a single
// one, by the mid-scan decode. Costs one pass of the block decoder over the entropy data.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frame.h"

namespace mirelo::services::images::jpeg_dc {

// `clean` and `ends` as parse gives them, the frame's planes allocated; false on any
// irregularity in the data.
bool decodeScan(Frame& frame, const std::vector<uint8_t>& clean, const std::vector<size_t>& ends, int64_t parallelFrom);

}  // namespace mirelo::services::images::jpeg_dc

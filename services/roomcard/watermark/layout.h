#pragma once

// Where the bits go: the card's size for a picture's proportions, and which of its 16 × 16 blocks
// carry data, in the fixed xorshift order (data bit i in block order(…)[i]). Blocks near the
// edges and in the lower part of the card carry nothing. Pure.

#include <utility>
#include <vector>

#include "images/images.h"

namespace mirelo::services::roomcard::watermark {

// The profile for a picture of W × H: portrait below 0.9, landscape above 1.2, else square.
std::pair<int, int> profileFor(int width, int height);
// The same for an image.
std::pair<int, int> geometry(const images::Image& image);
// The usable blocks of a W × H card (indices row by row), shuffled by the fixed seed. Linear in
// the blocks.
std::vector<int> order(int width, int height);

}  // namespace mirelo::services::roomcard::watermark

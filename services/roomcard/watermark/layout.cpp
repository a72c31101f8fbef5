// The card's size and its data blocks' order; see layout.h.
#include "layout.h"

#include <cstdint>

#include "format.h"

namespace mirelo::services::roomcard::watermark {

std::pair<int, int> profileFor(int width, int height) {
  const double ratio = static_cast<double>(width) / height;
  if (ratio < 0.9) return profiles[0];
  if (ratio > 1.2) return profiles[1];
  return profiles[2];
}

std::pair<int, int> geometry(const images::Image& image) { return profileFor(image.width(), image.height()); }

std::vector<int> order(int width, int height) {
  const int columns = width / blockSize, rows = height / blockSize;
  const double bottom = width < height ? 0.71 : 0.85;
  std::vector<int> list;
  for (int r = 0; r < rows; ++r) {
    const double y = (r + 0.5) * blockSize / height;
    if (!(0.03 < y && y < bottom)) continue;
    for (int c = 0; c < columns; ++c) {
      const double x = (c + 0.5) * blockSize / width;
      if (0.04 < x && x < 0.96) list.push_back(r * columns + c);
    }
  }
  uint64_t state = seed;
  for (size_t k = list.size(); k-- > 1;) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const size_t j = state % (k + 1);
    if (j != k) std::swap(list[k], list[j]);
  }
  return list;
}

}  // namespace mirelo::services::roomcard::watermark

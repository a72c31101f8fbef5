#pragma once

#include <vector>

namespace mirelo::services::roomcard {

// One channel of W × H samples, rows from the top.
struct Plane {
  int width = 0;
  int height = 0;
  std::vector<float> samples;
};

// Separable Lanczos-3 resampling to any size, stretched; the kernel widens when shrinking so the
// result is not aliased. Edges repeat the border samples.
Plane resample(const Plane& source, int width, int height);

}  // namespace mirelo::services::roomcard

#pragma once

#include <functional>
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

// The same resampling, streamed: source row y is produced by `row(y, samples)` when first needed,
// and each output row y that `wanted(y)` asks for is handed to `sink(y, samples)` in order, with
// the values `resample` would give. Only the few source rows the kernel spans are kept.
void resampleRows(int sourceWidth, int sourceHeight, int width, int height, const std::function<void(int, float*)>& row,
                  const std::function<bool(int)>& wanted, const std::function<void(int, const float*)>& sink);

}  // namespace mirelo::services::roomcard

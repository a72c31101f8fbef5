#pragma once

#include <cmath>
#include <cstddef>

#include "roomcard/watermark/drawing.h"

// PSNR of two rasters of one size over their colour channels (alpha left out); 99 when equal.
inline double psnr(const mirelo::services::roomcard::Raster& a, const mirelo::services::roomcard::Raster& b) {
  double sum = 0;
  size_t n = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) {
    if (i % 4 == 3) continue;
    const double d = static_cast<double>(a.pixels[i]) - b.pixels[i];
    sum += d * d;
    ++n;
  }
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / (sum / static_cast<double>(n)));
}

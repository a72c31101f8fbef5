#pragma once

// Pictures the watermark tests embed into, made at test time from fixed seeds: photograph-like
// light and shade, a page of text on white, and a photograph half covered by a flat colour.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "../images/fixtures.h"

namespace mirelo::services::roomcard::testing {

// Smooth light and shade, a few hard-edged shapes and a little noise, like a photograph; with
// `alpha`, a lower edge that fades out below the part of the card that carries the watermark.
inline images::Image photo(int width, int height, unsigned seed, bool alpha = false) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0, 3);
  const int bands = alpha ? 4 : 3;
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * bands);
  const double fx = 0.004 + 0.002 * (seed % 3), fy = 0.006 + 0.002 * (seed % 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double light = 120 + 60 * std::sin(x * fx + seed) * std::cos(y * fy);
      const bool shape = ((x / 97 + y / 131 + static_cast<int>(seed)) % 5) == 0;
      uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * bands];
      for (int c = 0; c < 3; ++c) {
        const double v = light + (shape ? 50 - 30 * c : 10 * c) + noise(random);
        p[c] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
      }
      if (alpha) p[3] = static_cast<uint8_t>(y < height * 9 / 10 ? 255 : x < width / 2 ? 0 : 128);
    }
  }
  return images::testing::fromPixels(pixels, width, height, bands);
}

// A 1200 × 900 photograph whose left half and a disc in its right half are `flat` (0 or 255):
// nudges there clamp, so its card needs headroom.
inline images::Image halfFlat(uint8_t flat) {
  constexpr int width = 1200, height = 900;
  const images::Image source = photo(width, height, 4);
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
  size_t size = 0;
  auto* memory = static_cast<uint8_t*>(vips_image_write_to_memory(source.get(), &size));
  std::copy(memory, memory + std::min(size, pixels.size()), pixels.begin());
  g_free(memory);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (x < 600 || (x - 900) * (x - 900) + (y - 450) * (y - 450) < 200 * 200) {
        std::fill_n(&pixels[(static_cast<size_t>(y) * width + x) * 3], 3, flat);
      }
    }
  }
  return images::testing::fromPixels(pixels, width, height, 3);
}

// A 1240 × 1754 page of black "text" on pure white: hard edges that scaling and JPEG move by much
// more than a nudge, on a background that clips.
inline images::Image textOnWhite() {
  constexpr int width = 1240, height = 1754;
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3, 255);
  std::mt19937 random(21);
  for (int line = 0; line < 38; ++line) {
    const int top = 90 + 42 * line;
    for (int x = 60; x < width - 80;) {
      // A word: strokes 3 px wide and 18 px high, some with a bar across, then a space.
      const int letters = 2 + static_cast<int>(random() % 8);
      for (int letter = 0; letter < letters; ++letter, x += 13) {
        const int shape = static_cast<int>(random() % 4);
        for (int y = top; y < top + 18; ++y) {
          for (int dx = 0; dx < 11; ++dx) {
            const bool ink = dx < 3 || (shape == 1 && dx >= 8) || (shape >= 2 && (y - top) % 17 < 3) ||
                             (shape == 3 && dx >= 8 && y > top + 8);
            if (ink && x + dx < width) std::fill_n(&pixels[(static_cast<size_t>(y) * width + x + dx) * 3], 3, 0);
          }
        }
      }
      x += 14;
    }
  }
  return images::testing::fromPixels(pixels, width, height, 3);
}

}  // namespace mirelo::services::roomcard::testing

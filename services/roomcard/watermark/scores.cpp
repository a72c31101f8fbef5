// Block scores, of a drawing in memory and streamed from a picture of any size; see scores.h.
#include "scores.h"

#include <vips/vips.h>

#include "format.h"
#include "layout.h"
#include "roomcard/codec.h"
#include "roomcard/resample.h"

namespace mirelo::services::roomcard::watermark {
namespace {

// Brightness (R + G + B) / 3 of one row of straight RGB or RGBA bytes flattened on white.
void brightnessRow(const uint8_t* pixels, int width, int bands, float* out) {
  if (bands == 3) {  // most copies: without the alpha test the loop runs on vectors
    for (int x = 0; x < width; ++x) {
      const uint8_t* p = pixels + static_cast<size_t>(x) * 3;
      out[x] = static_cast<float>(p[0] + p[1] + p[2]) / 3.f;
    }
    return;
  }
  for (int x = 0; x < width; ++x) {
    const uint8_t* p = pixels + static_cast<size_t>(x) * bands;
    float value = static_cast<float>(p[0] + p[1] + p[2]) / 3.f;
    if (bands == 4 && p[3] != 255) {
      const float a = p[3] / 255.f;
      value = value * a + 255.f * (1 - a);
    }
    out[x] = value;
  }
}

}  // namespace

double blockScore(const uint8_t* rgba, int width, int block) {
  const int columns = width / blockSize;
  const int left = blockSize * (block % columns), top = blockSize * (block / columns);
  const auto& weights = basis();
  double sum = 0;
  for (int row = 0; row < blockSize; ++row) {
    const uint8_t* p = &rgba[(static_cast<size_t>(top + row) * width + left) * 4];
    for (int column = 0; column < blockSize; ++column, p += 4) {
      sum += weights[row * blockSize + column] * ((p[0] + p[1] + p[2]) / 3.0);
    }
  }
  return sum;
}

double score(const Raster& raster, int block, int width) { return blockScore(raster.pixels.data(), width, block); }

std::vector<double> scoresOf(const uint8_t* pixels, int sourceWidth, int sourceHeight, int bands) {
  if (sourceWidth < minDecodeSize || sourceHeight < minDecodeSize) return {};
  const auto [width, height] = profileFor(sourceWidth, sourceHeight);
  const std::vector<int> blocks = order(width, height);
  const int columns = width / blockSize, rows = height / blockSize;
  std::vector<char> rowUsed(static_cast<size_t>(rows), 0);
  for (size_t i = 0; i < blocks.size(); ++i) {
    rowUsed[static_cast<size_t>(blocks[i] / columns)] = 1;
  }
  const auto& weights = basis();
  // Every block of the grid is summed, the blocks of a row side by side (each block's sum still
  // taken row by row, column by column): the chains of additions are independent.
  std::vector<double> grid(static_cast<size_t>(columns) * rows, 0.0);
  const size_t stride = static_cast<size_t>(sourceWidth) * bands;
  resampleRows(
      sourceWidth, sourceHeight, width, height,
      [&](int y, float* out) { brightnessRow(pixels + stride * y, sourceWidth, bands, out); },
      [&](int y) { return y / blockSize < rows && rowUsed[static_cast<size_t>(y / blockSize)]; },
      [&](int y, const float* samples) {
        double* sums = &grid[static_cast<size_t>(y / blockSize) * columns];
        const double* weight = &weights[static_cast<size_t>(y % blockSize) * blockSize];
        for (int column = 0; column < blockSize; ++column) {
          const double w = weight[column];
          const float* p = samples + column;
          for (int c = 0; c < columns; ++c) sums[c] += w * p[ptrdiff_t{c} * blockSize];
        }
      });
  std::vector<double> scores(blocks.size());
  for (size_t i = 0; i < blocks.size(); ++i) scores[i] = grid[static_cast<size_t>(blocks[i])];
  return scores;
}

std::vector<double> scoresOf(const images::Image& image) {
  const images::OwnedVips rgb = eightBitRgb(image);
  size_t size = 0;
  auto* pixels = static_cast<uint8_t*>(vips_image_write_to_memory(rgb.get(), &size));
  if (!pixels) {
    vips_error_clear();
    throw RoomCardCodec::error("房卡图片无法读取");
  }
  std::vector<double> scores = scoresOf(pixels, image.width(), image.height(), vips_image_get_bands(rgb.get()));
  g_free(pixels);
  return scores;
}

}  // namespace mirelo::services::roomcard::watermark

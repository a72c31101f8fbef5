#pragma once
// The watermark as it was before headroom, the calibrated self-check and the early rejection:
// the timing reference of watermark_bench, built in the same run.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "images/images.h"

namespace mirelo::services::roomcard::before {

// W × H pixels, 4 bytes each (red, green, blue, alpha), colour premultiplied by alpha, rows from
// the top, no padding.
struct Raster {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

// The invitation hidden in a card's pixels: one bit per 16 × 16 block, carried by the parity of the
// block's quantised correlation with a smooth antisymmetric pattern.
struct RoomCardWatermark {
  static constexpr int blockSize = 16;
  static constexpr int repeats = 1;
  static constexpr std::array<std::pair<int, int>, 3> profiles{{{960, 1440}, {1440, 960}, {1280, 1280}}};
  static constexpr std::array<int, 6> strengths{64, 96, 128, 160, 192, 224};
  static constexpr std::array<int, 11> dataPositions{3, 5, 6, 7, 9, 10, 11, 12, 13, 14, 15};
  static constexpr uint64_t seed = 0x004D4952454C4F31;  // "\0MIRELO1"
  static constexpr std::array<double, 3> selfCheckScales{1.0, 0.75, 0.5};
  static constexpr std::array<double, 4> selfCheckFactors{0.9, 0.75, 0.65, 0.4};
  static constexpr int minDecodeSize = 256;
  static constexpr std::string_view magic = "MRW2";
  static constexpr size_t maxText = 2048;
  static constexpr size_t maxCompressed = 4096;

  static const std::array<double, 256>& basis();
  // The working size for an image of these proportions.
  static std::pair<int, int> geometry(const images::Image& image);
  // The image stretched to W × H with high-quality interpolation, optionally flattened on white.
  static Raster raster(const images::Image& image, int width, int height, bool flatten);
  // A raster as an image the codecs take.
  static images::Image cgImage(const Raster& raster);
  // The usable blocks of a W × H raster, shuffled by the fixed seed.
  static std::vector<int> order(int width, int height);
  static double score(const Raster& raster, int block, int width);
  static std::string packet(std::string_view invitation);
  static std::optional<std::string> unpack(std::string_view bytes);
  static std::vector<uint8_t> encodeBits(std::string_view bytes);
  static std::string decodeBits(const std::vector<uint8_t>& bits);
  // A new image of the working size carrying the invitation, checked against degraded copies.
  static images::Image embed(const images::Image& image, std::string_view invitation);
  static std::optional<std::string> decode(const images::Image& image);
};

}  // namespace mirelo::services::roomcard

// Watermark robustness: photograph-like pictures of varied sizes and content get a card each; every
// card is re-encoded by ImageMagick at quality 40 and half size, then read back. Prints how many
// decode, the strength each card needed, and the PSNR of each card against its unmarked raster.
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "images/images.h"
#include "psnr.h"
#include "roomcard/watermark/drawing.h"
#include "roomcard/watermark/embedder.h"
#include "roomcard/watermark/reader.h"

namespace images = mirelo::services::images;
using mirelo::services::roomcard::Raster;
namespace watermark = mirelo::services::roomcard::watermark;

namespace {

// Light and shade at a random scale, hard-edged shapes, fine texture and sensor noise.
images::Image photo(unsigned seed) {
  std::mt19937 random(seed);
  const int width = 800 + static_cast<int>(random() % 1600), height = 800 + static_cast<int>(random() % 1400);
  std::normal_distribution<double> noise(0, 1 + static_cast<double>(random() % 6));
  const double fx = 0.002 + static_cast<double>(random() % 100) * 0.0001,
               fy = 0.002 + static_cast<double>(random() % 100) * 0.0001;
  const double texture = static_cast<double>(random() % 40) / 2.0,
               tint[3] = {0.6 + static_cast<double>(random() % 80) / 100.0,
                          0.6 + static_cast<double>(random() % 80) / 100.0,
                          0.6 + static_cast<double>(random() % 80) / 100.0};
  const int shapeX = 40 + static_cast<int>(random() % 200), shapeY = 40 + static_cast<int>(random() % 200);
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double light = 128 + 70 * std::sin(x * fx + seed) * std::cos(y * fy - seed);
      const bool shape = ((x / shapeX + y / shapeY + static_cast<int>(seed)) % 4) == 0;
      const double fine = texture * std::sin(x * 0.9 + y * 0.4);
      for (int c = 0; c < 3; ++c) {
        const double v = (light + (shape ? 40 - 35 * c : 0)) * tint[c] + fine + noise(random);
        pixels[(static_cast<size_t>(y) * width + x) * 3 + c] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
      }
    }
  }
  return images::Image(
      vips_image_new_from_memory_copy(pixels.data(), pixels.size(), width, height, 3, VIPS_FORMAT_UCHAR));
}

std::string reencoded(const images::Image& card, const std::filesystem::path& dir) {
  std::ofstream(dir / "card.png", std::ios::binary) << images::png(card);
  const std::string command =
      "convert '" + (dir / "card.png").string() + "' -resize 50% -quality 40 '" + (dir / "copy.jpg").string() + "'";
  if (std::system(command.c_str()) != 0) return {};
  std::stringstream bytes;
  bytes << std::ifstream(dir / "copy.jpg", std::ios::binary).rdbuf();
  return bytes.str();
}

}  // namespace

int main() {
  images::initialise();
  const auto dir = std::filesystem::temp_directory_path() / ("mirelo-robustness-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  constexpr int kPictures = 24;
  const std::string invitation = "mirelo://join/#PC3-eyJyIjoicm9idXN0bmVzcy1yb29tIiwiayI6IjAxMjM0NTY3ODlhYmNkZWYifQ";
  int decoded = 0, made = 0;
  double psnrSum = 0;
  for (int i = 0; i < kPictures; ++i) {
    const images::Image source = photo(100 + i);
    images::Image card;
    try {
      card = watermark::embed(source, invitation);
    } catch (const std::exception& error) {
      std::printf("picture %2d (%dx%d): no card: %s\n", i, source.width(), source.height(), error.what());
      continue;
    }
    ++made;
    const Raster unmarked = watermark::raster(source, card.width(), card.height(), false);
    const Raster marked = watermark::raster(card, card.width(), card.height(), false);
    const double quality = psnr(unmarked, marked);
    psnrSum += quality;
    const std::string copy = reencoded(card, dir);
    bool ok = false;
    try {
      ok = watermark::decode(images::image(copy, 2048)) == invitation;
    } catch (const std::exception&) {
    }
    decoded += ok;
    std::printf("picture %2d (%4dx%4d): PSNR %.1f dB, ImageMagick q40 half-size copy %s\n", i, source.width(),
                source.height(), quality, ok ? "read" : "NOT READ");
  }
  std::filesystem::remove_all(dir);
  std::printf(
      "watermark robustness: %d of %d cards read back after ImageMagick quality 40 at 50 %%; mean PSNR %.1f dB\n",
      decoded, made, made ? psnrSum / made : 0.0);
  return decoded == kPictures ? 0 : 1;
}

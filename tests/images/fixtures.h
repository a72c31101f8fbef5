#pragma once

// Images made at test time with libvips, and hand-made PNG headers that only declare a size.

#include <vips/vips.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "images/images.h"

namespace mirelo::services::images::testing {

inline std::string pngChunk(const std::string& type, const std::string& data) {
  std::string out;
  const uint32_t length = static_cast<uint32_t>(data.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(length >> shift));
  out += type + data;
  const uint32_t crc = static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(out.data() + 4), static_cast<uInt>(out.size() - 4)));
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(crc >> shift));
  return out;
}

// A PNG whose IHDR declares width × height (8-bit grey) followed by a tiny, wrong IDAT: any
// attempt to decode its pixels fails, so only a check of the declared size can refuse it first.
inline std::string declaredPng(uint32_t width, uint32_t height) {
  std::string ihdr;
  for (uint32_t v : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) ihdr.push_back(static_cast<char>(v >> shift));
  }
  ihdr += std::string("\x08\x00\x00\x00\x00", 5);
  return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) + pngChunk("IDAT", std::string(8, '\x01')) +
         pngChunk("IEND", "");
}

inline Image fromPixels(const std::vector<uint8_t>& pixels, int width, int height, int bands) {
  return Image(vips_image_new_from_memory_copy(pixels.data(), pixels.size(), width, height, bands, VIPS_FORMAT_UCHAR));
}

inline Image black(int width, int height) {
  VipsImage* out = nullptr;
  vips_black(&out, width, height, nullptr);
  return Image(out);
}

// A smooth colour gradient, the kind of picture a watermark sits in easily.
inline Image gradient(int width, int height) {
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = static_cast<uint8_t>(60 + 120 * x / width);
      p[1] = static_cast<uint8_t>(80 + 100 * y / height);
      p[2] = 140;
    }
  }
  return fromPixels(pixels, width, height, 3);
}

// Uniform noise: PNG cannot compress it, so its size is predictable (about 3 bytes a pixel).
inline Image noise(int width, int height, unsigned seed = 1) {
  std::mt19937 random(seed);
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
  for (auto& p : pixels) p = static_cast<uint8_t>(random());
  return fromPixels(pixels, width, height, 3);
}

inline std::string save(const Image& image, const char* suffix, const char* options = "") {
  void* buffer = nullptr;
  size_t length = 0;
  const std::string format = std::string(suffix) + options;
  if (vips_image_write_to_buffer(image.get(), format.c_str(), &buffer, &length, nullptr)) return {};
  std::string out(static_cast<const char*>(buffer), length);
  g_free(buffer);
  return out;
}

// One pixel of an 8-bit image, band by band.
inline std::vector<int> pixel(const Image& image, int x, int y) {
  double* values = nullptr;
  int n = 0;
  std::vector<int> out{-1};
  if (vips_getpoint(image.get(), &values, &n, x, y, nullptr) == 0) {
    out.clear();
    for (int i = 0; i < n; ++i) out.push_back(static_cast<int>(values[i]));
    g_free(values);
  }
  return out;
}

}  // namespace mirelo::services::images::testing

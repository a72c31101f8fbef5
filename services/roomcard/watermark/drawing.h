#pragma once

// Pictures drawn at a card's size by libvips (Lanczos-3, stretched), and the pixel forms the
// watermark works in. Each drawing costs one libvips pipeline over the picture; thread-safe.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "buffer.h"
#include "images/images.h"

namespace mirelo::services::roomcard {

// W × H pixels, 4 bytes each (red, green, blue, alpha), colour premultiplied by alpha, rows from
// the top, no padding.
struct Raster {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

namespace watermark {

// The image as 8-bit sRGB, with its alpha band if it has one (straight alpha). Throws the room
// card error "房卡图片无法读取" when it cannot be converted.
images::OwnedVips eightBitRgb(const images::Image& source);
// The image's alpha flattened on white, back to 8 bits; false (vips error cleared) on failure.
bool flattenOnWhite(images::OwnedVips& image);

// The image stretched to W × H with high-quality interpolation, optionally flattened on white.
Raster raster(const images::Image& image, int width, int height, bool flatten);
// The same drawing converted strip by strip into `out`: neither libvips' buffer of the whole
// drawing nor a zero-filled one of ours.
const uint8_t* drawRgba(const images::Image& image, int width, int height, bool flatten, Buffer& out);
// The drawing of a card for a self-check copy, flattened, as 3-band RGB bytes in `out`.
const uint8_t* scaledRgb(const images::Image& card, int width, int height, Buffer& out);

// Copies an 8-bit image's bytes into `out`, strip by strip as libvips computes them; false (vips
// error cleared) when it cannot be computed.
bool copyInto(VipsImage* image, uint8_t* out);
// Premultiplied RGBA to straight RGBA. Colour above its alpha is not valid premultiplied data; it
// saturates.
void straightInto(const uint8_t* premultiplied, size_t size, uint8_t* out);

}  // namespace watermark
}  // namespace mirelo::services::roomcard

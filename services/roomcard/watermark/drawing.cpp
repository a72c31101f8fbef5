// Drawing pictures at a card's size with libvips, and the conversions between its bands and ours;
// see drawing.h.
#include "drawing.h"

#include <vips/vips.h>

#include <algorithm>
#include <cstring>

#include "roomcard/codec.h"

namespace mirelo::services::roomcard::watermark {
namespace {

using images::Image;
using Owned = images::OwnedVips;

// Draws the image at W × H, stretched, with high-quality (Lanczos) interpolation: on white when
// `flatten` is set, otherwise keeping its alpha. Returns 3 bands when flattened or opaque, else 4.
Owned draw(const Image& source, int width, int height, bool flatten) {
  Owned image = eightBitRgb(source);
  const bool alpha = vips_image_get_bands(image.get()) == 4;
  bool ok = true;
  if (alpha && flatten) {
    // Flattening is linear in premultiplied colour, so it may come before the resampling.
    ok = flattenOnWhite(image);
  }
  const int w = vips_image_get_width(image.get()), h = vips_image_get_height(image.get());
  if (ok && (w != width || h != height)) {
    if (alpha && !flatten) {
      // Transparent pixels must not bleed colour: thumbnail resamples premultiplied.
      ok = images::applyStep(image, [&](VipsImage* i, VipsImage** out) {
        return vips_thumbnail_image(i, out, width, "height", height, "size", VIPS_SIZE_FORCE, nullptr);
      });
    } else {
      ok = images::applyStep(image, [&](VipsImage* i, VipsImage** out) {
        return vips_resize(i, out, static_cast<double>(width) / w, "vscale", static_cast<double>(height) / h, "kernel",
                           VIPS_KERNEL_LANCZOS3, nullptr);
      });
    }
  }
  if (ok && vips_image_get_format(image.get()) != VIPS_FORMAT_UCHAR) {
    ok = images::applyStep(image, [](VipsImage* i, VipsImage** out) { return vips_cast_uchar(i, out, nullptr); });
  }
  if (!ok || vips_image_get_width(image.get()) != width || vips_image_get_height(image.get()) != height) {
    throw RoomCardCodec::error("房卡图片无法读取");
  }
  return image;
}

// One pixel of 3 or 4 straight bands as premultiplied RGBA.
inline void premultipliedInto(const uint8_t* from, int bands, uint8_t* to) {
  const unsigned a = bands == 4 ? from[3] : 255;
  for (int c = 0; c < 3; ++c) to[c] = a == 255 ? from[c] : static_cast<uint8_t>((from[c] * a + 127) / 255);
  to[3] = static_cast<uint8_t>(a);
}

}  // namespace

Owned eightBitRgb(const Image& source) {
  Image converted;
  try {
    converted = images::eightBit(source, false);
  } catch (const Error&) {
    throw RoomCardCodec::error("房卡图片无法读取");
  }
  const int bands = vips_image_get_bands(converted.get());
  if (bands != 3 && bands != 4) throw RoomCardCodec::error("房卡图片无法读取");
  g_object_ref(converted.get());
  return Owned(converted.get());
}

bool flattenOnWhite(Owned& image) {
  return images::applyStep(image,
                           [](VipsImage* i, VipsImage** out) {
                             VipsArrayDouble* white = vips_array_double_newv(3, 255.0, 255.0, 255.0);
                             const int status = vips_flatten(i, out, "background", white, nullptr);
                             vips_area_unref(VIPS_AREA(white));
                             return status;
                           }) &&
         images::applyStep(image, [](VipsImage* i, VipsImage** out) { return vips_cast_uchar(i, out, nullptr); });
}

Raster raster(const Image& image, int width, int height, bool flatten) {
  const Owned drawn = draw(image, width, height, flatten);
  const int bands = vips_image_get_bands(drawn.get());
  size_t size = 0;
  auto* memory = static_cast<uint8_t*>(vips_image_write_to_memory(drawn.get(), &size));
  if (!memory) {
    vips_error_clear();
    throw RoomCardCodec::error("房卡图片无法读取");
  }
  Raster out{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 4)};
  const uint8_t* from = memory;
  uint8_t* to = out.pixels.data();
  for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i, from += bands, to += 4) {
    premultipliedInto(from, bands, to);
  }
  g_free(memory);
  return out;
}

const uint8_t* drawRgba(const Image& image, int width, int height, bool flatten, Buffer& out) {
  const Owned drawn = draw(image, width, height, flatten);
  struct Target {
    uint8_t* pixels;
    int width;
    int bands;
  } target{out.reserve(static_cast<size_t>(width) * height * 4), width, vips_image_get_bands(drawn.get())};
  const auto write = [](VipsRegion* region, VipsRect* area, void* a) -> int {
    const auto* t = static_cast<const Target*>(a);
    for (int y = area->top; y < VIPS_RECT_BOTTOM(area); ++y) {
      const auto* from = reinterpret_cast<const uint8_t*>(VIPS_REGION_ADDR(region, area->left, y));
      uint8_t* to = t->pixels + static_cast<size_t>(y) * t->width * 4;
      for (int x = 0; x < area->width; ++x, from += t->bands, to += 4) premultipliedInto(from, t->bands, to);
    }
    return 0;
  };
  if (vips_sink_disc(drawn.get(), write, &target)) {
    vips_error_clear();
    throw RoomCardCodec::error("房卡图片无法读取");
  }
  return target.pixels;
}

const uint8_t* scaledRgb(const Image& card, int width, int height, Buffer& out) {
  const Owned drawn = draw(card, width, height, true);
  uint8_t* target = out.reserve(static_cast<size_t>(width) * height * 3);
  if (vips_image_get_bands(drawn.get()) != 3 || !copyInto(drawn.get(), target)) {
    throw RoomCardCodec::error("房卡图片无法读取");
  }
  return target;
}

bool copyInto(VipsImage* image, uint8_t* out) {
  const auto write = [](VipsRegion* region, VipsRect* area, void* a) -> int {
    auto* target = static_cast<uint8_t*>(a);
    const size_t row = VIPS_IMAGE_SIZEOF_LINE(region->im);
    for (int y = area->top; y < VIPS_RECT_BOTTOM(area); ++y) {
      std::memcpy(target + row * y, VIPS_REGION_ADDR(region, area->left, y), row);
    }
    return 0;
  };
  if (vips_sink_disc(image, write, out)) {
    vips_error_clear();
    return false;
  }
  return true;
}

void straightInto(const uint8_t* premultiplied, size_t size, uint8_t* out) {
  std::memcpy(out, premultiplied, size);
  for (size_t i = 0; i < size; i += 4) {
    uint8_t* p = &out[i];
    const unsigned a = p[3];
    if (a == 255) continue;
    for (int c = 0; c < 3; ++c) p[c] = a ? static_cast<uint8_t>(std::min(255u, (p[c] * 255u + a / 2) / a)) : 0;
  }
}

}  // namespace mirelo::services::roomcard::watermark

#include "card_png.h"

#include <vips/vips.h>

#include <cmath>

#include "images/png_writer.h"

namespace mirelo::services::roomcard {

std::string cardPng(const images::Image& card) {
  VipsImage* image = card.get();
  const int bands = image ? vips_image_get_bands(image) : 0;
  if (!image || vips_image_get_format(image) != VIPS_FORMAT_UCHAR || (bands != 3 && bands != 4) ||
      vips_image_wio_input(image) || !image->data) {
    vips_error_clear();
    return images::png(card);
  }
  // Pixels per metre, as libvips writes them from the image's pixels per millimetre.
  const auto perMetre = [](double perMm) { return static_cast<uint32_t>(std::lround(perMm * 1000)); };
  images::PngWriteOptions options;
  options.filterUp = true;
  options.level = 1;
  options.xPerMetre = perMetre(image->Xres);
  options.yPerMetre = perMetre(image->Yres);
  options.idatBytes = size_t{1} << 20;  // bounds what a reader must hold of one chunk
  std::string out = images::writePng(reinterpret_cast<const uint8_t*>(image->data), vips_image_get_width(image),
                                     vips_image_get_height(image), bands, options);
  return out.empty() ? images::png(card) : out;
}

}  // namespace mirelo::services::roomcard

#pragma once

// 8-bit PNGs written straight from pixels in memory, deflated by libdeflate: the one PNG writer of
// the program's hot paths (normalize-image's pictures, room cards). libvips' own writer goes
// through zlib row by row; libdeflate compresses the whole filtered raster in one call, at about
// half zlib's time for the same level. Costs one pass to filter the rows and one to compress them,
// into scratch buffers each thread keeps warm.

#include <cstddef>
#include <cstdint>
#include <string>

namespace mirelo::services::images {

struct PngWriteOptions {
  bool filterUp = false;  // each row less the row above (2: Up); otherwise unfiltered
  int level = 6;  // libdeflate's compression level, 1 to 12
  uint32_t xPerMetre = 0;  // a pHYs chunk when both are set
  uint32_t yPerMetre = 0;
  size_t idatBytes = 0;  // IDAT chunks of at most this many bytes; 0: one chunk
};

// The PNG (signature, IHDR, pHYs when asked, IDAT, IEND) of `height` packed rows of `width` ×
// `bands` bytes: 1 grey, 2 grey and alpha, 3 RGB, 4 RGBA. Empty when it cannot be written.
std::string writePng(const uint8_t* pixels, int width, int height, int bands, const PngWriteOptions& options);

}  // namespace mirelo::services::images

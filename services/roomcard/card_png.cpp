#include "card_png.h"

#include <libdeflate.h>
#include <vips/vips.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "watermark/buffer.h"

namespace mirelo::services::roomcard {
namespace {

constexpr size_t kIdatBytes = 1 << 20;  // bounds what a reader must hold of one chunk

struct FreeCompressor {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

void put32(std::string& out, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
                         static_cast<char>(value)};
  out.append(bytes, 4);
}

void chunk(std::string& out, const char* type, const uint8_t* data, size_t size) {
  put32(out, static_cast<uint32_t>(size));
  const size_t start = out.size();
  out.append(type, 4);
  out.append(reinterpret_cast<const char*>(data), size);
  put32(out, libdeflate_crc32(0, out.data() + start, size + 4));
}

// Whole rows of the band-interleaved pixels, each led by its filter byte (2: Up).
void filterUp(const uint8_t* pixels, size_t row, int height, uint8_t* out) {
  for (int y = 0; y < height; ++y, out += row + 1) {
    const uint8_t* line = pixels + row * static_cast<size_t>(y);
    out[0] = 2;
    if (y == 0) {
      std::memcpy(out + 1, line, row);
      continue;
    }
    const uint8_t* above = line - row;
    for (size_t x = 0; x < row; ++x) out[x + 1] = static_cast<uint8_t>(line[x] - above[x]);
  }
}

}  // namespace

std::string cardPng(const images::Image& card) {
  VipsImage* image = card.get();
  const int bands = image ? vips_image_get_bands(image) : 0;
  if (!image || vips_image_get_format(image) != VIPS_FORMAT_UCHAR || (bands != 3 && bands != 4) ||
      vips_image_wio_input(image) || !image->data) {
    vips_error_clear();
    return images::png(card);
  }
  const int width = vips_image_get_width(image), height = vips_image_get_height(image);
  const size_t row = static_cast<size_t>(width) * bands;
  const size_t filteredSize = (row + 1) * static_cast<size_t>(height);
  // Kept warm across cards, like the embed's own buffers; the module's commands run on one thread.
  thread_local watermark::Buffer filtered, compressed;
  thread_local std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor(libdeflate_alloc_compressor(1));
  if (!compressor) return images::png(card);
  filterUp(reinterpret_cast<const uint8_t*>(image->data), row, height, filtered.reserve(filteredSize));
  const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), filteredSize);
  uint8_t* zlib = compressed.reserve(bound);
  const size_t size = libdeflate_zlib_compress(compressor.get(), filtered.data(), filteredSize, zlib, bound);
  if (size == 0) return images::png(card);

  std::string out;
  out.reserve(size + size / kIdatBytes * 12 + 128);
  out.append("\x89PNG\r\n\x1a\n", 8);
  uint8_t header[13] = {};
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<uint8_t>(static_cast<uint32_t>(width) >> (24 - 8 * i));
    header[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(height) >> (24 - 8 * i));
  }
  header[8] = 8;  // bits per sample
  header[9] = bands == 4 ? 6 : 2;  // RGBA or RGB; compression, filter, interlace 0
  chunk(out, "IHDR", header, sizeof header);
  // Pixels per metre, as libvips writes them from the image's pixels per millimetre.
  uint8_t physical[9] = {};
  const auto perMetre = [](double perMm) { return static_cast<uint32_t>(std::lround(perMm * 1000)); };
  const uint32_t x = perMetre(image->Xres), y = perMetre(image->Yres);
  for (int i = 0; i < 4; ++i) {
    physical[i] = static_cast<uint8_t>(x >> (24 - 8 * i));
    physical[4 + i] = static_cast<uint8_t>(y >> (24 - 8 * i));
  }
  physical[8] = 1;  // the unit is the metre
  chunk(out, "pHYs", physical, sizeof physical);
  for (size_t at = 0; at < size; at += kIdatBytes) chunk(out, "IDAT", zlib + at, std::min(kIdatBytes, size - at));
  chunk(out, "IEND", nullptr, 0);
  return out;
}

}  // namespace mirelo::services::roomcard

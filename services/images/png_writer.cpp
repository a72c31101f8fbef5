#include "png_writer.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "block_pool.h"
#include "bytes.h"
#include "handle.h"

namespace mirelo::services::images {
namespace {

using Compressor = Handle<libdeflate_compressor, libdeflate_free_compressor>;

void chunk(std::string& out, const char* type, const uint8_t* data, size_t size) {
  out += bytes::big32(static_cast<uint32_t>(size));
  const size_t start = out.size();
  out.append(type, 4);
  if (size > 0) out.append(reinterpret_cast<const char*>(data), size);
  out += bytes::big32(libdeflate_crc32(0, out.data() + start, size + 4));
}

// Whole rows, each led by its filter byte.
void filterRows(const uint8_t* pixels, size_t row, size_t height, bool up, uint8_t* out) {
  for (size_t y = 0; y < height; ++y, out += row + 1) {
    const uint8_t* line = pixels + row * y;
    out[0] = up ? 2 : 0;
    if (!up || y == 0) {
      std::memcpy(out + 1, line, row);
      continue;
    }
    const uint8_t* above = line - row;
    for (size_t x = 0; x < row; ++x) out[x + 1] = static_cast<uint8_t>(line[x] - above[x]);
  }
}

}  // namespace

std::string writePng(const uint8_t* pixels, int width, int height, int bands, const PngWriteOptions& options) {
  if (!pixels || width <= 0 || height <= 0 || bands < 1 || bands > 4 || options.level < 1 || options.level > 12) {
    return {};
  }
  // Kept per thread and per level: a compressor's tables are some hundred KiB, the scratch a
  // raster's size, and a warm second picture then touches no fresh page.
  thread_local std::array<Compressor, 13> compressors;
  thread_local BlockBuffer filtered, compressed;
  Compressor& compressor = compressors[static_cast<size_t>(options.level)];
  if (!compressor) compressor.reset(libdeflate_alloc_compressor(options.level));
  if (!compressor) return {};

  const size_t row = static_cast<size_t>(width) * static_cast<size_t>(bands);
  const size_t rows = static_cast<size_t>(height);
  const size_t filteredSize = (row + 1) * rows;
  filtered.reserve(filteredSize);
  auto* raster = reinterpret_cast<uint8_t*>(filtered.data());
  filterRows(pixels, row, rows, options.filterUp, raster);
  const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), filteredSize);
  compressed.reserve(bound);
  auto* zlib = reinterpret_cast<uint8_t*>(compressed.data());
  const size_t size = libdeflate_zlib_compress(compressor.get(), raster, filteredSize, zlib, bound);
  if (size == 0) return {};

  const size_t piece = options.idatBytes ? options.idatBytes : size;
  std::string out;
  out.reserve(8 + 25 + 21 + size + (size / piece + 1) * 12 + 12);
  out.append("\x89PNG\r\n\x1a\n", 8);
  constexpr uint8_t kColourType[] = {0, 0, 4, 2, 6};  // grey, grey and alpha, RGB, RGBA
  std::string header = bytes::big32(static_cast<uint32_t>(width)) + bytes::big32(static_cast<uint32_t>(height));
  header += {8, static_cast<char>(kColourType[bands]), 0, 0, 0};  // depth; compression, filter, interlace 0
  chunk(out, "IHDR", reinterpret_cast<const uint8_t*>(header.data()), header.size());
  if (options.xPerMetre && options.yPerMetre) {
    std::string physical = bytes::big32(options.xPerMetre) + bytes::big32(options.yPerMetre);
    physical += '\1';  // the unit is the metre
    chunk(out, "pHYs", reinterpret_cast<const uint8_t*>(physical.data()), physical.size());
  }
  for (size_t at = 0; at < size; at += piece) chunk(out, "IDAT", zlib + at, std::min(piece, size - at));
  chunk(out, "IEND", nullptr, 0);
  return out;
}

}  // namespace mirelo::services::images

// Image intake on arbitrary bytes: the PNG text-chunk filter, the header checks and the
// allow-listed loaders (PNG, JPEG, GIF, WebP, TIFF), and the thumbnail path that decodes large
// JPEGs with TurboJPEG. Whatever is accepted decodes within the pixel bounds and encodes as PNG;
// the filter only ever removes whole chunks, and what it leaves has none to remove.
#include <cstdint>
#include <string>

#include "images/images.h"
#include "images/png_text.h"
#include "protocol/error.h"

using namespace mirelo::services;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  images::initialise();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (const auto kept = images::withoutTextChunks(bytes)) {
    if (kept->size() >= bytes.size() || !kept->starts_with(bytes.substr(0, 8)) || images::withoutTextChunks(*kept)) {
      __builtin_trap();
    }
  }
  images::isReadableImage(bytes);
  try {
    const images::Image decoded = images::image(bytes, 256);
    if (decoded.width() < 1 || decoded.height() < 1 || decoded.width() > 256 || decoded.height() > 256) {
      __builtin_trap();
    }
    if (images::png(images::eightBit(decoded, false)).empty()) __builtin_trap();
  } catch (const Error&) {
  }
  try {
    // A small edge, so that JPEGs twice its size or more take the decoder's own scaling.
    const images::Image small = images::thumbnail(bytes, 32);
    if (small.width() < 1 || small.height() < 1 || small.width() > 32 || small.height() > 32) __builtin_trap();
  } catch (const Error&) {
  }
  return 0;
}

// HEIC and AVIF intake on arbitrary bytes: libvips' HEIF loader (libheif, libde265, dav1d/libaom)
// behind the ftyp check, the declared-size check and the thumbnail path. Inputs without an ftyp
// box are given one, so every run reaches the HEIF loader. Whatever is accepted decodes within the
// pixel bounds and encodes as PNG.
#include <cstdint>
#include <string>

#include "images/heif.h"
#include "images/images.h"
#include "protocol/error.h"

using namespace mirelo::services;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  images::initialise();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (!images::looksLikeHeif(bytes))
    bytes.insert(0, std::string("\0\0\0\x18"
                                "ftypheic\0\0\0\0mif1heic",
                                24));
  try {
    const images::Image decoded = images::image(bytes, 128);
    if (decoded.width() < 1 || decoded.height() < 1 || decoded.width() > 128 || decoded.height() > 128) {
      __builtin_trap();
    }
    if (images::png(images::eightBit(decoded, false)).empty()) __builtin_trap();
  } catch (const Error&) {
  }
  return 0;
}

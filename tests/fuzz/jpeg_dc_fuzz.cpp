// The 1/8 DC reader on arbitrary bytes: whatever it takes of what TurboJPEG reads the header of,
// TurboJPEG decodes at 1/8 to the same pixels. Each input is read twice: as the program
// reads it, and with a second thread wherever one can be used however small the scan (split at
// restart markers, or met mid-scan), which must give the same answer.
#include <turbojpeg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "images/jpeg_dc.h"

using namespace mirelo::services;

namespace {

void check(const std::string& jpeg) {
  tjhandle decoder = tjInitDecompress();
  if (!decoder) __builtin_trap();
  auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(jpeg.data()));
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  const bool header =
      tjDecompressHeader3(decoder, bytes, jpeg.size(), &width, &height, &subsampling, &colourspace) == 0;
  const bool rgb = header && colourspace == TJCS_RGB;
  const auto picture = images::decodeDc(jpeg, rgb);
  const auto split = images::decodeDc(jpeg, rgb, 0);
  if (picture.has_value() != split.has_value() || (picture && picture->pixels != split->pixels)) __builtin_trap();
  // The program asks the DC reader only about files whose header TurboJPEG reads without a
  // warning; for those, TurboJPEG's pixels must be the reader's, a warning in the data or not
  // (TurboJPEG decodes on after one).
  if (picture && header) {
    const tjscalingfactor eighth{1, 8};
    if (picture->width != TJSCALED(width, eighth) || picture->height != TJSCALED(height, eighth) ||
        picture->bands != (colourspace == TJCS_GRAY ? 1 : 3)) {
      __builtin_trap();
    }
    std::vector<uint8_t> pixels(picture->pixels.size());
    if ((tjDecompress2(decoder, bytes, jpeg.size(), pixels.data(), picture->width, 0, picture->height,
                       picture->bands == 1 ? TJPF_GRAY : TJPF_RGB, 0) != 0 &&
         tjGetErrorCode(decoder) != TJERR_WARNING) ||
        pixels != picture->pixels) {
      __builtin_trap();
    }
  }
  tjDestroy(decoder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string jpeg(reinterpret_cast<const char*>(data), size);
  check(jpeg);
  return 0;
}

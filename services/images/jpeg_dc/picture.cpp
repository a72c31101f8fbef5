// The decoded planes as interleaved pixels; see picture.h.
#include "picture.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace mirelo::services::images::jpeg_dc {

DcPicture toPicture(const Frame& frame, bool rgb) {
  DcPicture picture;
  picture.width = (frame.width + 7) / 8;
  picture.height = (frame.height + 7) / 8;
  picture.bands = frame.components;
  picture.pixels.resize(static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) *
                        static_cast<size_t>(picture.bands));
  uint8_t* out = picture.pixels.data();
  const auto sample = [&](int ci, int x, int y) {
    const Component& c = frame.component[static_cast<size_t>(ci)];
    return c.plane[static_cast<size_t>(y) * static_cast<size_t>(c.planeWidth) + static_cast<size_t>(x)];
  };
  if (frame.components == 1 || rgb) {
    for (int y = 0; y < picture.height; ++y) {
      for (int x = 0; x < picture.width; ++x) {
        for (int ci = 0; ci < frame.components; ++ci) *out++ = sample(ci, x, y);
      }
    }
    return picture;
  }
  // libjpeg's YCbCr to RGB, fixed point with 16 fraction bits, the same tables and rounding.
  constexpr int kScale = 16;
  constexpr int32_t kHalf = 1 << (kScale - 1);
  // NOLINTNEXTLINE(bugprone-incorrect-roundings): libjpeg's FIX() bit for bit, on positive constants
  const auto fix = [](double x) { return static_cast<int32_t>(x * (1 << kScale) + 0.5); };
  std::array<int, 256> crR{}, cbB{};
  std::array<int32_t, 256> crG{}, cbG{};
  for (int i = 0; i < 256; ++i) {
    const int32_t x = i - 128;
    crR[static_cast<size_t>(i)] = (fix(1.40200) * x + kHalf) >> kScale;
    cbB[static_cast<size_t>(i)] = (fix(1.77200) * x + kHalf) >> kScale;
    crG[static_cast<size_t>(i)] = -fix(0.71414) * x;
    cbG[static_cast<size_t>(i)] = -fix(0.34414) * x + kHalf;
  }
  const auto clamp = [](int value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value); };
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      const int luma = sample(0, x, y);
      const size_t cb = sample(1, x, y), cr = sample(2, x, y);
      *out++ = clamp(luma + crR[cr]);
      *out++ = clamp(luma + ((cbG[cb] + crG[cr]) >> kScale));
      *out++ = clamp(luma + cbB[cb]);
    }
  }
  return picture;
}

}  // namespace mirelo::services::images::jpeg_dc

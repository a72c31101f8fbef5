#define ZX_USE_UTF8 1
#include "qr.h"

#include <ZXing/ReadBarcode.h>
#include <qrencode.h>
#include <vips/vips.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "images.h"
#include "protocol/error.h"
#include "utf8.h"

namespace mirelo::services::images {
namespace {

constexpr int kTargetSize = 300;

// Pixel bounds of a fractional rectangle (top-left origin), rounded outward and kept inside.
Region region(int w, int h, double x, double y, double width, double height) {
  const int x0 = std::max(0, static_cast<int>(std::floor(x)));
  const int y0 = std::max(0, static_cast<int>(std::floor(y)));
  const int x1 = std::min(w, static_cast<int>(std::ceil(x + width)));
  const int y1 = std::min(h, static_cast<int>(std::ceil(y + height)));
  return {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
}

}  // namespace

std::vector<Region> qrCandidates(int w, int h) {
  std::vector<Region> list{{0, 0, w, h}};
  if (h * 1.45 <= w && w <= h * 1.75) {
    // The square the card layout keeps for its code: x 790..1130 and y 190..530 of 1200 × 756.
    list.push_back(region(w, h, w * 790.0 / 1200, h * 190.0 / 756, w * 340.0 / 1200, h * 340.0 / 756));
  }
  const double cw = 0.62 * w, ch = 0.62 * h, dx = 0.38 * w, dy = 0.38 * h;
  list.push_back(region(w, h, 0, dy, cw, ch));  // lower left
  list.push_back(region(w, h, 0, 0, cw, ch));  // upper left
  list.push_back(region(w, h, dx, dy, cw, ch));  // lower right
  list.push_back(region(w, h, dx, 0, cw, ch));  // upper right
  return list;
}

namespace {

// 8-bit luminance on white, as the detector wants it. A weighted sum in integers: the detector
// needs contrast, not colorimetry.
std::vector<uint8_t> luminance(const Image& decoded) {
  const Image current = eightBit(decoded, true);
  size_t size = 0;
  auto* pixels = static_cast<uint8_t*>(vips_image_write_to_memory(current.get(), &size));
  if (!pixels) {
    vips_error_clear();
    throw failure("无法打开图片");
  }
  const int bands = vips_image_get_bands(current.get());
  const size_t count = static_cast<size_t>(decoded.width()) * decoded.height();
  std::vector<uint8_t> lum(count);
  const bool alpha = bands == 2 || bands == 4;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = pixels + i * bands;
    unsigned value = bands >= 3 ? (p[0] * 77u + p[1] * 150u + p[2] * 29u) >> 8 : p[0];
    if (alpha) {
      const unsigned a = p[bands - 1];
      value = (value * a + 255u * (255u - a) + 127u) / 255u;  // over white
    }
    lum[i] = static_cast<uint8_t>(value);
  }
  g_free(pixels);
  return lum;
}

}  // namespace

std::string qrPng(std::string_view text) {
  const Handle<QRcode, QRcode_free> code(QRcode_encodeData(
      static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_L));
  if (!code || code->width < 1) throw failure("二维码生成失败");
  const int modules = code->width;
  const int scale = std::max(kTargetSize / modules, 1);
  const int margin = 4 * scale;
  const int side = 2 * margin + modules * scale;
  std::vector<uint8_t> canvas(static_cast<size_t>(side) * side, 255);
  for (int y = 0; y < modules; ++y) {
    for (int x = 0; x < modules; ++x) {
      if (!(code->data[ptrdiff_t{y} * modules + x] & 1)) continue;
      for (int row = 0; row < scale; ++row) {
        uint8_t* line =
            canvas.data() + static_cast<size_t>(margin + y * scale + row) * side + margin + ptrdiff_t{x} * scale;
        std::fill(line, line + scale, 0);
      }
    }
  }
  Image image(vips_image_new_from_memory_copy(canvas.data(), canvas.size(), side, side, 1, VIPS_FORMAT_UCHAR));
  if (!image) {
    vips_error_clear();
    throw failure("二维码生成失败");
  }
  std::string encoded = png(image);
  if (encoded.empty()) throw failure("二维码生成失败");
  return encoded;
}

std::string qr(std::string_view data) {
  const Image decoded = image(data, kDefaultEdge);
  const int w = decoded.width(), h = decoded.height();
  const std::vector<uint8_t> lum = luminance(decoded);
  const ZXing::ImageView view(lum.data(), w, h, ZXing::ImageFormat::Lum);
  ZXing::DecodeHints hints;
  hints.setFormats(ZXing::BarcodeFormat::QRCode);
  hints.setTryHarder(true);
  hints.setTryRotate(true);
  hints.setTryDownscale(true);
  hints.setCharacterSet("UTF-8");  // what our codes carry; no guessing at Shift_JIS for short texts
  // The local binarizer suits uneven light; the global one finds small modules on busy, noisy
  // backgrounds (a code shrunk and recompressed in a chat app) that the local one misses.
  constexpr ZXing::Binarizer kBinarizers[] = {ZXing::Binarizer::LocalAverage, ZXing::Binarizer::GlobalHistogram};
  for (const Region& r : qrCandidates(w, h)) {
    if (r.width < 1 || r.height < 1) continue;
    const ZXing::ImageView candidate = view.cropped(r.x, r.y, r.width, r.height);
    for (const auto binarizer : kBinarizers) {
      hints.setBinarizer(binarizer);
      for (const auto& result : ZXing::ReadBarcodes(candidate, hints)) {
        if (!result.isValid() || result.format() != ZXing::BarcodeFormat::QRCode) continue;
        // Without an ECI the code's own bytes are the text: ours are UTF-8, and other encoders'
        // bytes are repaired like any text from elsewhere rather than converted and cut short.
        std::string text = result.hasECI() ? result.text() : std::string(result.bytes().begin(), result.bytes().end());
        repairUtf8(text);
        if (!text.empty() && text.size() <= kMaxReadText) return text;
      }
    }
  }
  throw failure("未找到房卡，请选择清晰完整的邀请图片");
}

}  // namespace mirelo::services::images

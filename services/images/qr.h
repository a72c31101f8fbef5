#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mirelo::services::images {

constexpr size_t kMaxQrText = 2048;  // bytes the generator takes
constexpr size_t kMaxReadText = 8192;

// A rectangle of pixels, origin at the top left.
struct Region {
  int x, y, width, height;
  bool operator==(const Region&) const = default;
};

// Where `qr` looks, in order, in an image of w × h pixels.
std::vector<Region> qrCandidates(int w, int h);

// The PNG of a QR code (level L) for `text`: modules scaled to fit 300 pixels, a white margin of
// four modules. Throws "二维码生成失败" when no code can be made.
std::string qrPng(std::string_view text);

// The text of the first acceptable QR code in an image: the whole image, then the card region when
// the proportions are a card's, then four overlapping corners. Throws the errors of `image`, or
// "未找到房卡，请选择清晰完整的邀请图片".
std::string qr(std::string_view data);

}  // namespace mirelo::services::images

#pragma once

// Writing an invitation into a picture's pixels: the picture drawn at its profile's size, every
// data block nudged at a strength, and the card kept at the weakest strength whose card survives
// the self-check. Thread-safe; each call starts one helper thread per stage it checks. A photo's
// card takes tens to hundreds of milliseconds (bench/watermark_bench).

#include <string_view>

#include "images/images.h"

namespace mirelo::services::roomcard::watermark {

// How a card was made: the strength kept, and whether its blocks first had to be pulled away from
// black and white so that their nudges land whole.
struct EmbedReport {
  int step = 0;
  bool headroom = false;
};

// A new image of the profile's size carrying the invitation: RGB when the picture is opaque,
// straight RGBA otherwise. Throws the room card errors of `packet`, "邀请内容超出房卡容量" when the
// packet needs more blocks than the card has, "房卡图片无法读取" when the picture cannot be drawn and
// "房卡生成后未通过压缩识别检查" when no strength survives.
images::Image embed(const images::Image& image, std::string_view invitation, EmbedReport* report = nullptr);

}  // namespace mirelo::services::roomcard::watermark

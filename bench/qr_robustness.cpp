// Reading robustness: generated codes, each placed on a noisy background, the whole picture scaled
// to 0.5 and JPEG-compressed at quality 40, then read back. Prints the rate and the read times.
#include <vips/vips.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "images/images.h"
#include "images/qr.h"
#include "protocol/error.h"

namespace images = mirelo::services::images;

namespace {

std::string encode(VipsImage* image, const char* format) {
  void* buffer = nullptr;
  size_t length = 0;
  if (vips_image_write_to_buffer(image, format, &buffer, &length, nullptr)) std::abort();
  std::string out(static_cast<char*>(buffer), length);
  g_free(buffer);
  return out;
}

std::string invitation(std::mt19937& random) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string text = "mirelo://join/#";
  const size_t length = 40 + random() % 260;
  for (size_t i = 0; i < length; ++i) text.push_back(alphabet[random() % 64]);
  return text;
}

}  // namespace

int main() {
  images::initialise();
  constexpr int kCodes = 60;
  std::mt19937 random(2026);
  int found = 0;
  std::vector<double> times;
  for (int i = 0; i < kCodes; ++i) {
    const std::string text = invitation(random);
    const std::string code = images::qrPng(text);
    VipsImage* qr = vips_image_new_from_buffer(code.data(), code.size(), "", nullptr);
    VipsImage *qrMem = vips_image_copy_memory(qr), *noise, *bg, *rgbQr, *placed, *half, *grey;
    const int width = 1000 + static_cast<int>(random() % 800), height = 700 + static_cast<int>(random() % 500);
    vips_gaussnoise(&noise, width, height, "sigma", 20.0 + static_cast<double>(random() % 30), "mean", 128.0, nullptr);
    vips_cast_uchar(noise, &grey, nullptr);
    VipsImage* channels[3] = {grey, grey, grey};
    vips_bandjoin(channels, &bg, 3, nullptr);
    vips_colourspace(qrMem, &rgbQr, VIPS_INTERPRETATION_sRGB, nullptr);
    const int x = static_cast<int>(random() % std::max(1, width - vips_image_get_width(rgbQr)));
    const int y = static_cast<int>(random() % std::max(1, height - vips_image_get_height(rgbQr)));
    vips_insert(bg, rgbQr, &placed, x, y, nullptr);
    vips_resize(placed, &half, 0.5, nullptr);
    const std::string jpeg = encode(half, ".jpg[Q=40]");
    for (VipsImage* image : {qr, qrMem, noise, grey, bg, rgbQr, placed, half}) g_object_unref(image);

    const auto started = std::chrono::steady_clock::now();
    std::string read;
    try {
      read = images::qr(jpeg);
    } catch (const mirelo::services::Error&) {
    }
    times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
    if (read == text) {
      ++found;
    } else {
      std::printf("missed code %d (%zu bytes of text)\n", i, text.size());
      if (const char* folder = std::getenv("MIRELO_DUMP_MISSED")) {  // keep the picture for a closer look
        if (FILE* f = std::fopen((std::string(folder) + "/missed" + std::to_string(i) + ".jpg").c_str(), "wb")) {
          std::fwrite(jpeg.data(), 1, jpeg.size(), f);
          std::fclose(f);
        }
      }
    }
  }
  std::sort(times.begin(), times.end());
  std::printf(
      "qr robustness: %d of %d codes read back exactly (%.0f %%) after 0.5 scale and JPEG quality 40 on noise\n", found,
      kCodes, 100.0 * found / kCodes);
  std::printf("qr robustness: read time median %.1f ms, max %.1f ms\n", times[times.size() / 2], times.back());
  return found == kCodes ? 0 : 1;
}

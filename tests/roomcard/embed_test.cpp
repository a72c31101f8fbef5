// The watermark end to end on photograph-like pictures made at test time, read back after another
// encoder (ImageMagick) has scaled and recompressed the card.
#include <gtest/gtest.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "pictures.h"
#include "protocol/error.h"
#include "roomcard/watermark/drawing.h"
#include "roomcard/watermark/embedder.h"
#include "roomcard/watermark/hamming.h"
#include "roomcard/watermark/layout.h"
#include "roomcard/watermark/packet.h"
#include "roomcard/watermark/reader.h"
#include "roomcard/watermark/scores.h"

namespace mirelo::services::roomcard {
namespace {

namespace WM = watermark;
using images::Image;
using testing::photo;

const std::string kCompact = "mirelo://join/#PC3-eyJyIjoidGVzdC1yb29tIiwiayI6IjAxMjM0NTY3ODlhYmNkZWYwMTIzIn0";
const std::string kPlain = "mirelo://join/#room-7f3a9c/key-0123456789abcdef";

// What another program makes of the card: ImageMagick scales it to half and saves JPEG quality 40.
std::string reencodedByImageMagick(const Image& card) {
  const auto dir = std::filesystem::temp_directory_path() / ("mirelo-wm-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto in = dir / "card.png", out = dir / "copy.jpg";
  std::ofstream(in, std::ios::binary) << images::png(card);
  const std::string command = "convert '" + in.string() + "' -resize 50% -quality 40 '" + out.string() + "'";
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::stringstream bytes;
  bytes << std::ifstream(out, std::ios::binary).rdbuf();
  std::filesystem::remove_all(dir);
  return bytes.str();
}

// What libvips makes of the card: half size and JPEG quality 40, or WebP quality 50 at full size.
Image reencodedByVips(const Image& card, bool webp) {
  VipsImage* half = nullptr;
  void* buffer = nullptr;
  size_t length = 0;
  if (webp) {
    EXPECT_EQ(vips_webpsave_buffer(card.get(), &buffer, &length, "Q", 50, nullptr), 0);
  } else {
    EXPECT_EQ(vips_resize(card.get(), &half, 0.5, nullptr), 0);
    EXPECT_EQ(vips_jpegsave_buffer(half, &buffer, &length, "Q", 40, nullptr), 0);
    g_object_unref(half);
  }
  const std::string bytes(static_cast<char*>(buffer), length);
  g_free(buffer);
  return images::image(bytes, 2048);
}

Image scaled(const Image& image, double factor) {
  VipsImage* out = nullptr;
  EXPECT_EQ(vips_resize(image.get(), &out, factor, nullptr), 0);
  return Image(vips_image_copy_memory(out));
}

class EmbedTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { images::initialise(); }
};

TEST_F(EmbedTest, SurvivesAnotherEncoderAndScaling) {
  struct Case {
    int width, height;
    std::string invitation;
    std::pair<int, int> card;
  };
  const Case cases[] = {
      {2000, 1500, kCompact, {1440, 960}},
      {900, 1400, kPlain, {960, 1440}},
      {1000, 1000, kCompact, {1280, 1280}},
  };
  unsigned seed = 1;
  for (const auto& c : cases) {
    const Image card = WM::embed(photo(c.width, c.height, seed++), c.invitation);
    EXPECT_EQ(std::pair(card.width(), card.height()), c.card);
    EXPECT_EQ(WM::decode(card), c.invitation);
    EXPECT_EQ(WM::decode(scaled(card, 0.5)), c.invitation) << c.width << "x" << c.height;
    const Image copy = images::image(reencodedByImageMagick(card), 2048);
    EXPECT_EQ(WM::decode(copy), c.invitation) << c.width << "x" << c.height;
    EXPECT_EQ(WM::decode(reencodedByVips(card, false)), c.invitation) << c.width << "x" << c.height;
    EXPECT_EQ(WM::decode(reencodedByVips(card, true)), c.invitation) << c.width << "x" << c.height;
  }
}

// Pictures whose nudges get clamped at black or white: no strength carries every bit as drawn, so
// the blocks that clamp are given headroom. The card reads back after other programs' copies, and
// every data block still sits on its quantised value (the nudge landed whole).
// The share of data blocks whose score lands on a multiple of `step` with the parity of its bit.
double blocksOnTheirValue(const Image& card, int step) {
  const Raster raster = WM::raster(card, 1440, 960, true);
  const auto bits = WM::encodeBits(WM::packet(kCompact));
  const auto blocks = WM::order(1440, 960);
  size_t exact = 0;
  for (size_t i = 0; i < bits.size(); ++i) {
    const double q = WM::score(raster, blocks[i], 1440) / step;
    if (std::fabs(q - std::round(q)) < 0.05 && (static_cast<int64_t>(std::round(q)) & 1) == bits[i]) ++exact;
  }
  return static_cast<double>(exact) / static_cast<double>(bits.size());
}

TEST_F(EmbedTest, HeadroomWhereThePictureClips) {
  struct Case {
    const char* name;
    uint8_t flat;  // the value of the flat area
  };
  for (const Case c : {Case{"black", 0}, Case{"white", 255}}) {
    WM::EmbedReport report;
    const Image card = WM::embed(testing::halfFlat(c.flat), kCompact, &report);
    EXPECT_TRUE(report.headroom) << c.name;
    EXPECT_EQ(WM::decode(images::image(reencodedByImageMagick(card), 2048)), kCompact) << c.name;
    EXPECT_EQ(WM::decode(reencodedByVips(card, false)), kCompact) << c.name;
    EXPECT_EQ(WM::decode(reencodedByVips(card, true)), kCompact) << c.name;
    EXPECT_GE(blocksOnTheirValue(card, report.step) * 100, 98.0) << c.name;
  }
}

// A page of black "text" on pure white: hard edges that scaling and JPEG move by much more than
// a nudge, on a background that clips. The card must still look like the page (40 dB) and read
// back after other programs' copies.
TEST_F(EmbedTest, TextOnWhiteKeepsItsLooks) {
  const Image page = testing::textOnWhite();
  WM::EmbedReport report;
  const Image card = WM::embed(page, kCompact, &report);
  const Raster unmarked = WM::raster(page, card.width(), card.height(), false);
  const Raster marked = WM::raster(card, card.width(), card.height(), false);
  double squares = 0;
  for (size_t i = 0; i < marked.pixels.size(); ++i) {
    if (i % 4 == 3) continue;
    const double d = static_cast<double>(marked.pixels[i]) - unmarked.pixels[i];
    squares += d * d;
  }
  const size_t samples = marked.pixels.size() / 4 * 3;  // the alpha of each pixel is left out
  const double psnr = 10 * std::log10(255.0 * 255.0 / (squares / static_cast<double>(samples)));
  EXPECT_GE(psnr, 40.0) << "step " << report.step;
  EXPECT_EQ(WM::decode(images::image(reencodedByImageMagick(card), 2048)), kCompact);
  EXPECT_EQ(WM::decode(reencodedByVips(card, false)), kCompact);
  EXPECT_EQ(WM::decode(reencodedByVips(card, true)), kCompact);
}

TEST_F(EmbedTest, EveryDataBlockSitsOnItsQuantisedValue) {
  // Blocks whose parity was already right are rewritten too: every data block's score lands on a
  // multiple of the step used, with the parity of its bit.
  WM::EmbedReport report;
  const Image card = WM::embed(photo(1600, 1200, 5), kCompact, &report);
  EXPECT_FALSE(report.headroom);  // nothing clamps in this picture: drawn as the format writes it
  EXPECT_GE(blocksOnTheirValue(card, report.step) * 100, 98.0);  // rounding moves a few
}

TEST_F(EmbedTest, RefusalsBeforeAnyPixelWork) {
  std::string random = "mirelo://join/#";
  std::mt19937 generator(3);
  for (int i = 0; i < 600; ++i)
    random.push_back("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"[generator() % 62]);
  const Image picture = photo(600, 900, 2);
  try {
    WM::embed(picture, random);
    FAIL() << "embedded a packet larger than the card";
  } catch (const Error& error) {
    EXPECT_EQ(error.message, "邀请内容超出房卡容量");
  }
  EXPECT_THROW(WM::embed(picture, "mirelo://join/#" + std::string(2049, 'a')), Error);
  EXPECT_FALSE(WM::decode(photo(255, 1000, 1)));
  EXPECT_FALSE(WM::decode(photo(1000, 255, 1)));
  EXPECT_FALSE(WM::decode(photo(300, 300, 1)));  // big enough, but carries nothing
}

TEST_F(EmbedTest, TransparencyKeepsItsAlpha) {
  const Image source = photo(1500, 1000, 9, true);
  const Image card = WM::embed(source, kCompact);
  ASSERT_EQ(vips_image_get_bands(card.get()), 4);
  const Raster drawn = WM::raster(source, 1440, 960, false);
  const Raster marked = WM::raster(card, 1440, 960, false);
  size_t differing = 0;
  for (size_t i = 3; i < drawn.pixels.size(); i += 4) differing += drawn.pixels[i] != marked.pixels[i];
  EXPECT_EQ(differing, 0u);
  EXPECT_EQ(WM::decode(card), kCompact);
}

}  // namespace
}  // namespace mirelo::services::roomcard

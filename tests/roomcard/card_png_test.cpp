// The card's own PNG writer against libvips' (the reference): the same pixels and the same chunks
// around the image data, whatever the bands, the size and the number of IDAT chunks.
#include "roomcard/card_png.h"

#include <gtest/gtest.h>
#include <vips/vips.h>

#include <string>
#include <tuple>
#include <vector>

#include "pictures.h"
#include "roomcard/codec.h"

namespace mirelo::services::roomcard {
namespace {

using images::Image;

struct Decoded {
  std::vector<std::string> chunks;  // type and data of each chunk but IDAT
  size_t idats = 0;
  int width = 0, height = 0, bands = 0;
  std::string pixels;
};

Decoded decoded(const std::string& png) {
  Decoded out;
  EXPECT_EQ(png.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
  for (size_t at = 8; at + 12 <= png.size();) {
    const auto* p = reinterpret_cast<const uint8_t*>(&png[at]);
    const size_t length = static_cast<size_t>(p[0]) << 24 | static_cast<size_t>(p[1]) << 16 | p[2] << 8 | p[3];
    if (at + 12 + length > png.size()) break;
    if (png.compare(at + 4, 4, "IDAT") == 0) {
      ++out.idats;
    } else {
      out.chunks.push_back(png.substr(at + 4, 4 + length));
    }
    at += 12 + length;
  }
  VipsImage* image = vips_image_new_from_buffer(png.data(), png.size(), "", nullptr);
  if (!image) {
    ADD_FAILURE() << "libvips cannot read it";
    return out;
  }
  out.width = vips_image_get_width(image);
  out.height = vips_image_get_height(image);
  out.bands = vips_image_get_bands(image);
  size_t size = 0;
  void* pixels = vips_image_write_to_memory(image, &size);
  g_object_unref(image);
  if (pixels) out.pixels.assign(static_cast<const char*>(pixels), size);
  g_free(pixels);
  return out;
}

class CardPngTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { images::initialise(); }
};

TEST_F(CardPngTest, SamePixelsAndChunksAsLibvips) {
  struct Case {
    const char* name;
    Image image;
    size_t idats;  // 0: not checked
  };
  const Case cases[] = {
      {"photo, RGB", testing::photo(1440, 960, 4), 0},
      {"photo with alpha", testing::photo(900, 700, 5, true), 0},
      {"noise: several IDAT chunks", images::testing::noise(1440, 960), 4},
      {"one pixel", images::testing::noise(1, 1), 1},
      {"one column", images::testing::noise(1, 300), 1},
      {"grey: libvips' writer", images::testing::black(40, 30), 0},
  };
  for (const Case& c : cases) {
    const Decoded ours = decoded(cardPng(c.image)), reference = decoded(images::png(c.image));
    EXPECT_EQ(ours.chunks, reference.chunks) << c.name;
    EXPECT_EQ(std::tie(ours.width, ours.height, ours.bands),
              std::tie(reference.width, reference.height, reference.bands))
        << c.name;
    EXPECT_FALSE(ours.pixels.empty()) << c.name;
    EXPECT_TRUE(ours.pixels == reference.pixels) << c.name;
    if (c.idats) {
      EXPECT_EQ(ours.idats, c.idats) << c.name;
    }
  }
}

// The card chunk goes in after the writer's output: the codec must accept what it writes.
TEST_F(CardPngTest, CodecAddsTheCardChunk) {
  const std::string png = cardPng(testing::photo(320, 200, 7));
  const std::string invitation = "mirelo://join/#PC3-abc";
  const auto card = RoomCardCodec::encodeBytes(png, invitation);
  EXPECT_EQ(RoomCardCodec::decode(std::string_view(reinterpret_cast<const char*>(card.data()), card.size())),
            invitation);
}

}  // namespace
}  // namespace mirelo::services::roomcard

// What uploaded photographs carry besides their pixels (positions, authors, XMP, colour profiles,
// CMYK inks, HEIF containers) and what intake makes of it; and one table of what must keep
// working whatever changes here.
#include <gtest/gtest.h>

#include <array>

#include "../support/as_host.h"
#include "../support/error_of.h"
#include "base64.h"
#include "fixtures.h"
#include "images/commands.h"
#include "images/images.h"
#include "photo_fixtures.h"

namespace mirelo::services::images {
namespace {

using namespace testing;
using services::testing::asHost;
using services::testing::errorOf;

class IntakeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { initialise(); }
};

struct Normalized {
  std::string png;
  int width = 0, height = 0;
  std::string error;
};

Normalized normalize(const std::string& data, int edge = 256) {
  Normalized out;
  out.error = errorOf([&] {
    const Json reply = asHost(normalizeImage(Json{{"data", base64Encode(data)}, {"edge", edge}}));
    out.png = *base64Decode(reply["data"].get<std::string>());
    out.width = reply["width"].get<int>();
    out.height = reply["height"].get<int>();
  });
  return out;
}

Image decoded(const std::string& png) {
  VipsImage* lazy = vips_image_new_from_buffer(png.data(), png.size(), "", nullptr);
  if (!lazy) return Image();
  Image image(vips_image_copy_memory(lazy));
  g_object_unref(lazy);
  return image;
}

TEST_F(IntakeTest, NormalisedPngHoldsPixelsOnly) {
  const Image photo = gradient(320, 200);
  const std::vector<std::pair<const char*, std::string>> all = {
      {"exif-data", exifBlock(1)}, {"xmp-data", xmpPacket()}, {"icc-profile-data", p3Profile()}};
  const std::string png = save(photo, ".png");
  const std::string pngTagged = withChunks(png, {{"eXIf", exifBlock(1).substr(6)},
                                                 {"iTXt", "XML:com.adobe.xmp" + std::string(5, '\0') + xmpPacket()},
                                                 {"tEXt", std::string("Author") + '\0' + kAuthor},
                                                 {"zTXt", std::string("Comment") + '\0' + '\0' + deflated(kPlace)},
                                                 {"iCCP", std::string("P3") + '\0' + '\0' + deflated(p3Profile())}});
  const struct {
    const char* name;
    std::string data;
  } cases[] = {
      {"small JPEG", save(tagged(photo, {{"exif-data", exifBlock(1)}, {"xmp-data", xmpPacket()}}), ".jpg")},
      {"ICC-tagged JPEG", save(tagged(photo, all), ".jpg")},
      {"large JPEG", save(tagged(gradient(2000, 1250), all), ".jpg")},
      {"CMYK JPEG", save(tagged(flat(300, 200, {20, 150, 200, 10}),
                                {{"exif-data", exifBlock(1)}, {"icc-profile-data", cmykProfile()}}),
                         ".jpg")},
      {"PNG", pngTagged},
      {"WebP", save(tagged(photo, all), ".webp")},
  };
  for (const auto& c : cases) {
    ASSERT_NE(c.data.find(kAuthor), std::string::npos) << c.name;  // the source does carry them
    const Normalized out = normalize(c.data);
    ASSERT_EQ(out.error, "") << c.name;
    for (const std::string& type : chunkTypes(out.png)) {
      EXPECT_TRUE(type == "IHDR" || type == "PLTE" || type == "tRNS" || type == "IDAT" || type == "IEND" ||
                  type == "pHYs")
          << c.name << ": " << type;
    }
    EXPECT_EQ(out.png.find(kAuthor), std::string::npos) << c.name;
    EXPECT_EQ(out.png.find(kPlace), std::string::npos) << c.name;
  }
}

// With the metadata dropped and the colours in sRGB, the byte limit is spent on pixels alone: a
// photograph comes out at the size it has without what it carries.
TEST_F(IntakeTest, ByteLimitHoldsPixelsOnly) {
  const Image photo = noise(216, 144, 5);
  const int plainJpeg = normalize(save(photo, ".jpg", "[Q=90]")).width;
  const int plainPng = normalize(save(photo, ".png")).width;
  ASSERT_GE(plainJpeg, 108);
  ASSERT_GE(plainPng, 108);
  const struct {
    const char* name;
    std::string data;
    int width;
  } cases[] = {
      {"JPEG, P3 and a 60 KB XMP",
       save(tagged(photo, {{"icc-profile-data", p3Profile()}, {"xmp-data", xmpPacket(60'000)}}), ".jpg", "[Q=90]"),
       plainJpeg},
      {"JPEG, a 218 KB profile", save(tagged(photo, {{"icc-profile-data", p3Profile(218'000)}}), ".jpg", "[Q=90]"),
       plainJpeg},
      {"PNG, a 107 KB XMP",
       withChunks(save(photo, ".png"), {{"iTXt", "XML:com.adobe.xmp" + std::string(5, '\0') + xmpPacket(107'000)}}),
       plainPng},
      {"PNG, a 218 KB profile",
       withChunks(save(photo, ".png"), {{"iCCP", std::string("P3") + '\0' + '\0' + deflated(p3Profile(218'000))}}),
       plainPng},
      {"PNG, an 8 MB comment",
       withChunks(save(photo, ".png"),
                  {{"zTXt", std::string("Comment") + '\0' + '\0' + deflated(randomText(7'900'000))}}),
       plainPng},
  };
  for (const auto& c : cases) {
    const Normalized out = normalize(c.data);
    EXPECT_EQ(out.error, "") << c.name;
    EXPECT_EQ(out.width, c.width) << c.name;
  }
}

// Colours given in a profile come out as they are meant in sRGB, as lcms itself converts them;
// untagged pictures keep their exact samples.
TEST_F(IntakeTest, ColoursConvertedToSrgb) {
  const std::vector<uint8_t> rgb{200, 60, 40};
  const std::vector<uint8_t> cmyk{25, 160, 200, 15};
  const struct {
    const char* name;
    std::string data;
    std::vector<int> expected;
    int tolerance;
  } cases[] = {
      {"untagged PNG", save(flat(64, 48, rgb), ".png"), {200, 60, 40}, 0},
      {"P3 PNG", save(tagged(flat(64, 48, rgb), {{"icc-profile-data", p3Profile()}}), ".png"),
       lcmsToSrgb(p3Profile(), rgb), 1},
      {"P3 JPEG", save(tagged(flat(64, 48, rgb), {{"icc-profile-data", p3Profile()}}), ".jpg", "[Q=95]"),
       lcmsToSrgb(p3Profile(), rgb), 3},
      {"P3 WebP", save(tagged(flat(64, 48, rgb), {{"icc-profile-data", p3Profile()}}), ".webp", "[lossless]"),
       lcmsToSrgb(p3Profile(), rgb), 1},
      {"CMYK JPEG with its profile",
       save(tagged(flat(64, 48, cmyk), {{"icc-profile-data", cmykProfile()}}), ".jpg", "[Q=95]"),
       lcmsToSrgb(cmykProfile(), cmyk), 6},
      {"CMYK JPEG without one", save(flat(64, 48, cmyk), ".jpg", "[Q=95]"), lcmsToSrgb(cmykProfile(), cmyk), 6},
      {"large P3 JPEG (decoder scaling)",
       save(tagged(flat(1024, 768, rgb), {{"icc-profile-data", p3Profile()}}), ".jpg", "[Q=95]"),
       lcmsToSrgb(p3Profile(), rgb), 3},
  };
  // Far enough from the samples as they are, and from CMYK converted without a profile
  // (216, 89, 52), for the tolerances to tell.
  ASSERT_NE(lcmsToSrgb(p3Profile(), rgb), (std::vector<int>{200, 60, 40}));
  for (const auto& c : cases) {
    for (const bool viaCommand : {false, true}) {
      const Image out = viaCommand ? decoded(normalize(c.data).png) : image(c.data, 256);
      ASSERT_TRUE(out) << c.name;
      EXPECT_EQ(vips_image_get_typeof(out.get(), VIPS_META_ICC_NAME), 0u) << c.name;
      const std::vector<int> mean = meanColour(out);
      ASSERT_EQ(mean.size(), 3u) << c.name;
      for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(mean[i], c.expected[i], c.tolerance)
            << c.name << (viaCommand ? " (normalize-image)" : "") << " band " << i;
      }
    }
  }
  // A grey picture with a grey profile keeps its grey levels, and stays grey.
  const std::vector<uint8_t> greys(size_t{64} * 48, 90);
  const Image grey =
      image(save(tagged(fromPixels(greys, 64, 48, 1), {{"icc-profile-data", linearGreyProfile()}}), ".png"));
  EXPECT_EQ(meanColour(grey), std::vector<int>{90});
  // A broken profile is dropped, the picture still read.
  const Image broken = image(save(tagged(flat(64, 48, rgb), {{"icc-profile-data", std::string(600, 'x')}}), ".png"));
  ASSERT_TRUE(broken);
  EXPECT_EQ(meanColour(broken), (std::vector<int>{200, 60, 40}));
}

TEST_F(IntakeTest, ReadsHeicAndAvifWithinTheBounds) {
  const std::vector<uint8_t> rgb{200, 60, 40};
  for (const char* suffix : {".heic", ".avif"}) {
    const std::string kind = std::string(suffix + 1) + ":-";
    const std::string data = convertOutput("-size 320x200 xc:'rgb(200,60,40)' " + kind);
    ASSERT_FALSE(data.empty()) << suffix;
    const Image small = image(data, 64);
    EXPECT_EQ(std::pair(small.width(), small.height()), std::pair(64, 40)) << suffix;
    const std::vector<int> mean = meanColour(small);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(mean[i], rgb[i], 6) << suffix << " band " << i;
    const Normalized out = normalize(data);
    EXPECT_EQ(out.error, "") << suffix;
    EXPECT_EQ(std::pair(out.width, out.height), std::pair(256, 160)) << suffix;
    // Declared sizes are checked before decoding, as for every format: 8000 wide is read, 8200 not
    // (HEVC encoders want 64 rows).
    EXPECT_EQ(image(convertOutput("-size 8000x64 xc:black " + kind), 64).width(), 64) << suffix;
    const std::string wide = convertOutput("-size 8200x64 xc:black " + kind);
    ASSERT_FALSE(wide.empty()) << suffix;
    EXPECT_EQ(errorOf([&] { image(wide, 64); }), "图片尺寸无效或过大") << suffix;
    // Cut short: refused with an error value, never a crash.
    EXPECT_NE(errorOf([&] { image(data.substr(0, data.size() / 2), 64); }), "") << suffix;
  }
}

// One table of what intake already did right: orientations on every path, the PNG variants,
// interlaced and progressive files, first frames, size extremes, compressed bombs.
TEST_F(IntakeTest, WhatMustKeepWorking) {
  // Four quadrants (dark, light, mid, light-mid), stored as is, shown after the orientation.
  constexpr std::array<int, 4> kLevels{10, 245, 90, 170};
  const auto quadrants = [&](int width, int height) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const int q = (x >= width / 2) + 2 * (y >= height / 2);
        pixels[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(kLevels[q]);
      }
    }
    return fromPixels(pixels, width, height, 1);
  };
  // Where displayed point (u, v), in 0..1, is stored, for each orientation.
  const auto stored = [](int orientation, double u, double v) -> std::pair<double, double> {
    switch (orientation) {
      case 2: return {1 - u, v};
      case 3: return {1 - u, 1 - v};
      case 4: return {u, 1 - v};
      case 5: return {v, u};
      case 6: return {v, 1 - u};
      case 7: return {1 - v, 1 - u};
      case 8: return {1 - v, u};
      default: return {u, v};
    }
  };
  const auto shown = [&](const Image& out, int orientation, const std::string& name) {
    const bool turned = orientation >= 5;
    ASSERT_EQ(out.width() > out.height(), !turned) << name;
    for (const auto& [u, v] : {std::pair{0.25, 0.25}, {0.75, 0.25}, {0.25, 0.75}, {0.75, 0.75}}) {
      const auto [su, sv] = stored(orientation, u, v);
      const int q = (su > 0.5) + 2 * (sv > 0.5);
      const int value = pixel(out, static_cast<int>(u * out.width()), static_cast<int>(v * out.height()))[0];
      EXPECT_NEAR(value, kLevels[q], 12) << name << " at " << u << "," << v;
    }
  };
  for (int orientation = 1; orientation <= 8; ++orientation) {
    const std::string o = " orientation " + std::to_string(orientation);
    const std::string small =
        save(tagged(quadrants(80, 40), {{"exif-data", exifBlock(orientation)}}), ".jpg", "[Q=95]");
    const std::string large =
        save(tagged(quadrants(800, 400), {{"exif-data", exifBlock(orientation)}}), ".jpg", "[Q=95]");
    const std::string png = withChunks(save(quadrants(80, 40), ".png"), {{"eXIf", exifBlock(orientation).substr(6)}});
    shown(image(small, 64), orientation, "JPEG image()" + o);
    shown(thumbnail(small, 64), orientation, "JPEG thumbnail()" + o);
    shown(thumbnail(large, 64), orientation, "large JPEG thumbnail()" + o);
    shown(image(large, 2048), orientation, "large JPEG image()" + o);
    shown(image(png, 64), orientation, "PNG image()" + o);
    shown(decoded(normalize(large, 64).png), orientation, "normalize-image" + o);
  }

  VipsImage* sixteen = nullptr;
  ASSERT_EQ(vips_cast_ushort(gradient(120, 80).get(), &sixteen, nullptr), 0);
  sixteen->Type = VIPS_INTERPRETATION_RGB16;
  VipsImage* animated = nullptr;
  ASSERT_EQ(vips_copy(noise(16, 48).get(), &animated, nullptr), 0);
  vips_image_set_int(animated, "page-height", 16);
  const Image frames(animated);
  const std::string photoPng = save(gradient(120, 80), ".png");
  const struct {
    const char* name;
    std::string data;
    int width, height;
  } cases[] = {
      {"16-bit PNG", save(Image(sixteen), ".png"), 120, 80},
      {"palette PNG", save(gradient(120, 80), ".png", "[palette]"), 120, 80},
      {"interlaced PNG", save(gradient(120, 80), ".png", "[interlace]"), 120, 80},
      {"progressive JPEG", save(gradient(120, 80), ".jpg", "[interlace]"), 120, 80},
      {"animated GIF", save(frames, ".gif"), 16, 16},
      {"animated WebP", save(frames, ".webp"), 16, 16},
      {"1 × 1", save(black(1, 1), ".png"), 1, 1},
      {"8192 × 2", save(black(8192, 2), ".png"), 256, 1},
      {"1 × 8192", save(black(1, 8192), ".png"), 1, 256},
      {"zTXt bomb",
       withChunks(photoPng, {{"zTXt", std::string("c") + '\0' + '\0' + deflated(std::string(64 << 20, 'x'))}}), 120,
       80},
      {"iCCP bomb",
       withChunks(photoPng, {{"iCCP", std::string("p") + '\0' + '\0' + deflated(std::string(64 << 20, 'x'))}}), 120,
       80},
  };
  for (const auto& c : cases) {
    const Normalized out = normalize(c.data);
    EXPECT_EQ(out.error, "") << c.name;
    EXPECT_EQ(std::pair(out.width, out.height), std::pair(c.width, c.height)) << c.name;
    EXPECT_TRUE(decoded(out.png)) << c.name;
  }
}

}  // namespace
}  // namespace mirelo::services::images

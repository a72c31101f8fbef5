#include "images/images.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <tuple>

#include <filesystem>
#include <fstream>

#include "../support/error_of.h"
#include "base64.h"
#include "fixtures.h"
#include "protocol/error.h"

namespace mirelo::services::images {
namespace {

using namespace testing;

class ImagesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { initialise(); }
};

using services::testing::errorOf;

TEST_F(ImagesTest, BytesBoundsTextBeforeDecoding) {
  const size_t limit = kDefaultByteLimit;
  const size_t maxText = limit * 4 / 3 + 128;  // 16,777,344
  ASSERT_EQ(maxText, 16'777'344u);
  const std::string exactLimit = base64Encode(std::string(limit, '\x07'));
  struct Case {
    Json value;
    std::string error;
  };
  const Case cases[] = {
      {Json(std::string(maxText, 'A')), "图片编码无效"},  // within the length, decodes past the limit
      {Json(std::string(maxText + 1, 'A')), "图片数据过大"},  // refused by its length
      {Json(exactLimit), ""},
      {Json(base64Encode(std::string(limit + 1, '\x07'))), "图片编码无效"},
      {Json(5), "图片数据过大"},
      {Json("data:image/png;base64,QUJD"), ""},
      {Json("data:,QUJD"), ""},
      {Json("data:image/png;base64,"), "图片编码无效"},
      {Json("data:QUJD"), "图片编码无效"},
      {Json("QUJD\nQUJD"), "图片编码无效"},
      {Json(""), "图片编码无效"},
      {Json("Data:image/png;base64,QUJD"), "图片编码无效"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorOf([&] { bytes(&c.value, limit); }), c.error) << c.value.dump().substr(0, 40);
  }
  EXPECT_EQ(errorOf([] { bytes(nullptr); }), "图片数据过大");
  const Json url("data:image/png;base64,QUJD");
  EXPECT_EQ(bytes(&url), "ABC");
}

TEST_F(ImagesTest, DeclaredSizeCheckedBeforeDecoding) {
  struct Case {
    uint32_t width, height;
    std::string error;
  };
  const Case cases[] = {
      {8192, 2561, "图片尺寸无效或过大"},
      {8193, 1, "图片尺寸无效或过大"},
      {1, 8193, "图片尺寸无效或过大"},
      {64, 64, ""},  // within bounds the same broken file decodes (leniently, as a partial image)
  };
  for (const auto& c : cases) {
    EXPECT_EQ(errorOf([&] { image(declaredPng(c.width, c.height)); }), c.error) << c.width << "x" << c.height;
  }
  // The largest accepted size, for real: 8192 × 2560 = 20,971,520 pixels.
  const std::string big = save(black(8192, 2560), ".png");
  ASSERT_FALSE(big.empty());
  const Image scaled = image(big, 1600);
  EXPECT_EQ(scaled.width(), 1600);
  EXPECT_EQ(scaled.height(), 500);
}

TEST_F(ImagesTest, RefusesFormatsOutsideTheFive) {
  const std::string svg =
      R"(<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"><rect width="10" height="10"/></svg>)";
  std::string bmp("BM", 2);
  bmp += std::string("\x46\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x02\0\0\0\x02\0\0\0\x01\0\x18\0\0\0\0\0\x10\0\0\0", 36);
  bmp += std::string(16, '\xff');
  const std::string vipsMatrix = "2 2\n1 2\n3 4\n";
  for (const std::string& data : {svg, bmp, vipsMatrix, std::string("not an image")}) {
    EXPECT_EQ(errorOf([&] { image(data); }), "图片尺寸无效或过大") << data.substr(0, 10);
  }
}

TEST_F(ImagesTest, AcceptsTheFiveFormatsAndScalesDown) {
  const Image source = noise(300, 200);
  for (const char* suffix : {".png", ".jpg", ".gif", ".webp", ".tif"}) {
    const Image scaled = image(save(source, suffix), 120);
    EXPECT_EQ(scaled.width(), 120) << suffix;
    EXPECT_EQ(scaled.height(), 80) << suffix;
  }
  const Image small = image(save(source, ".png"), 1600);  // never enlarged
  EXPECT_EQ(small.width(), 300);
}

TEST_F(ImagesTest, LongerSideNeverExceedsEdge) {
  for (auto [w, h] : {std::pair{1000, 999}, {999, 1000}, {1001, 3}, {7, 5000}, {333, 777}}) {
    const Image source = black(w, h);
    for (int edge : {32, 33, 37, 100, 256}) {
      const Image scaled = image(save(source, ".png"), edge);
      EXPECT_LE(std::max(scaled.width(), scaled.height()), edge) << w << "x" << h << " edge " << edge;
    }
  }
}

TEST_F(ImagesTest, AppliesExifOrientation) {
  // 40 × 20: left half black, right half white, stored with "rotate 90° clockwise to display".
  std::vector<uint8_t> pixels(size_t{40} * 20);
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < 40; ++x) pixels[y * 40 + x] = x < 20 ? 0 : 255;
  }
  Image source = fromPixels(pixels, 40, 20, 1);
  VipsImage* tagged = nullptr;
  ASSERT_EQ(vips_copy(source.get(), &tagged, nullptr), 0);
  vips_image_set_int(tagged, VIPS_META_ORIENTATION, 6);
  const Image oriented = image(save(Image(tagged), ".jpg", "[Q=95]"));
  ASSERT_EQ(oriented.width(), 20);
  ASSERT_EQ(oriented.height(), 40);
  EXPECT_LT(pixel(oriented, 10, 5)[0], 64);  // the black half is now on top
  EXPECT_GT(pixel(oriented, 10, 35)[0], 192);  // the white half below
}

// A large JPEG is scaled in its decoder for a small picture; what comes out is what `image` makes,
// to within the difference of the decoder's scaling (orientation, grey kept grey). Pictures that
// decoder does not read as libvips would (CMYK, a damaged file) take libvips' path.
TEST_F(ImagesTest, ThumbnailOfLargeJpegsIsTheImage) {
  const Image photo = gradient(2000, 1200);
  VipsImage* tagged = nullptr;
  ASSERT_EQ(vips_copy(photo.get(), &tagged, nullptr), 0);
  vips_image_set_int(tagged, VIPS_META_ORIENTATION, 6);
  VipsImage* grey = nullptr;
  ASSERT_EQ(vips_colourspace(photo.get(), &grey, VIPS_INTERPRETATION_B_W, nullptr), 0);
  VipsImage* cmyk = nullptr;
  ASSERT_EQ(vips_colourspace(photo.get(), &cmyk, VIPS_INTERPRETATION_CMYK, nullptr), 0);
  std::string damaged = save(photo, ".jpg", "[Q=90]");
  damaged.resize(damaged.size() * 2 / 3);
  struct Case {
    const char* name;
    std::string jpeg;
    int edge, width, height, bands;
  };
  const Case cases[] = {
      {"colour, 1/8", save(photo, ".jpg", "[Q=90]"), 240, 240, 144, 3},
      {"colour, 1/2", save(photo, ".jpg", "[Q=90]"), 900, 900, 540, 3},
      {"colour, under twice the edge", save(photo, ".jpg", "[Q=90]"), 1100, 1100, 660, 3},
      {"orientation 6", save(Image(tagged), ".jpg", "[Q=90]"), 240, 144, 240, 3},
      {"grey", save(Image(grey), ".jpg", "[Q=90]"), 240, 240, 144, 1},
      {"CMYK", save(Image(cmyk), ".jpg", "[Q=90]"), 240, 240, 144, 3},
      {"damaged", damaged, 240, 240, 144, 3},
  };
  for (const auto& c : cases) {
    const Image small = thumbnail(c.jpeg, c.edge);
    const Image reference = image(c.jpeg, c.edge);
    EXPECT_EQ(std::tuple(small.width(), small.height(), vips_image_get_bands(small.get())),
              std::tuple(c.width, c.height, c.bands))
        << c.name;
    ASSERT_EQ(std::pair(small.width(), small.height()), std::pair(reference.width(), reference.height())) << c.name;
    double difference = 0;
    VipsImage* delta = nullptr;
    ASSERT_EQ(vips_subtract(small.get(), reference.get(), &delta, nullptr), 0);
    VipsImage* magnitude = nullptr;
    ASSERT_EQ(vips_abs(delta, &magnitude, nullptr), 0);
    ASSERT_EQ(vips_avg(magnitude, &difference, nullptr), 0);
    g_object_unref(magnitude);
    g_object_unref(delta);
    EXPECT_LT(difference, 2.0) << c.name;  // mean absolute difference per sample, of 255
  }
  EXPECT_THROW(thumbnail("not an image", 240), Error);
}

TEST_F(ImagesTest, UsesOnlyTheFirstFrameOfAnAnimation) {
  const Image frames = noise(16, 48);  // three 16 × 16 frames stacked
  VipsImage* animated = nullptr;
  ASSERT_EQ(vips_copy(frames.get(), &animated, nullptr), 0);
  vips_image_set_int(animated, "page-height", 16);
  const Image first = image(save(Image(animated), ".gif"));
  EXPECT_EQ(first.width(), 16);
  EXPECT_EQ(first.height(), 16);
}

TEST_F(ImagesTest, BoundedFile) {
  const auto dir = std::filesystem::temp_directory_path() / ("mirelo-files-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto write = [&](const char* name, size_t size) {
    std::ofstream(dir / name, std::ios::binary) << std::string(size, 'x');
    return "file://" + (dir / name).string();
  };
  const std::string ok = write("ok.png", 100);
  const std::string empty = write("empty.png", 0);
  const std::string big = write("big.png", 101);
  std::filesystem::create_symlink(dir / "ok.png", dir / "link.png");
  ::mkfifo((dir / "fifo.png").c_str(), 0600);
  struct Case {
    std::string url;
    std::string error;
  };
  const Case cases[] = {
      {ok, ""},
      {"file://" + (dir / "link.png").string(), "无法打开图片文件"},
      {"file://" + (dir / "missing.png").string(), "无法打开图片文件"},
      {"file://" + dir.string(), "图片不是普通文件或超过大小限制"},
      {"file://" + (dir / "fifo.png").string(), "图片不是普通文件或超过大小限制"},
      {empty, "图片不是普通文件或超过大小限制"},
      {big, "图片不是普通文件或超过大小限制"},
      {"https://example.invalid/a.png", "仅支持本机图片文件"},
      {(dir / "ok.png").string(), "仅支持本机图片文件"},
  };
  for (const auto& c : cases) EXPECT_EQ(errorOf([&] { boundedFile(c.url, 100); }), c.error) << c.url;
  EXPECT_EQ(boundedFile(ok, 100), std::string(100, 'x'));
  // A percent-encoded name is the file's own.
  write("a b.png", 3);
  EXPECT_EQ(boundedFile("file://" + dir.string() + "/a%20b.png", 100), "xxx");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace mirelo::services::images

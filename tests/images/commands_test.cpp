#include "images/commands.h"

#include <gtest/gtest.h>
#include <qrencode.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "../support/as_host.h"
#include "../support/error_of.h"
#include "../support/fakes/panels.h"
#include "base64.h"
#include "fixtures.h"
#include "images/images.h"
#include "images/qr.h"
#include "photo_fixtures.h"
#include "protocol/error.h"

namespace mirelo::services::images {
namespace {

using namespace testing;

class CommandsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { initialise(); }
};

using services::testing::asHost;
using services::testing::errorOf;

// Decoded now: libvips reads lazily from a buffer it does not copy.
Image decodePng(const std::string& png) {
  VipsImage* lazy = vips_image_new_from_buffer(png.data(), png.size(), "", nullptr);
  if (!lazy) return Image();
  Image image(vips_image_copy_memory(lazy));
  g_object_unref(lazy);
  return image;
}

TEST_F(CommandsTest, NormalizeTriesShrinkingEdges) {
  // Noise costs about 3 bytes a pixel, so the size that fits tells which edge was used.
  const std::string square = base64Encode(save(noise(600, 600), ".png"));
  const std::string wide = base64Encode(save(noise(600, 300), ".png"));
  struct Case {
    Json payload;
    int width, height;
  };
  const Case cases[] = {
      {{{"data", square}}, 144, 144},  // 256, 192, 144
      {{{"data", wide}}, 192, 96},  // the size of what was encoded
      {{{"data", square}, {"edge", 512}, {"limit", 20000}}, 90, 90},  // 512, 384, 288, 216, 162, 121, 90
      {{{"data", square}, {"edge", 10}, {"limit", 1000000}}, 32, 32},  // edge raised to 32
      {{{"data", square}, {"edge", 4000}, {"limit", 1000000}}, 162, 162},  // 512 … 162: limit held at 65,536
      {{{"data", square}, {"edge", 100.0}, {"limit", "5"}}, 100, 100},  // 100.0 reads as 100; "5" is absent
  };
  for (const auto& c : cases) {
    const Json value = asHost(normalizeImage(c.payload));
    EXPECT_EQ(value["width"], c.width) << c.payload.dump().substr(0, 60);
    EXPECT_EQ(value["height"], c.height);
    EXPECT_EQ(value["type"], "image/png");
    const auto png = base64Decode(value["data"].get<std::string>());
    ASSERT_TRUE(png);
    EXPECT_LE(png->size(), 65536u);
    const Image decoded = decodePng(*png);
    EXPECT_EQ(decoded.width(), c.width);
  }
}

TEST_F(CommandsTest, NormalizeErrors) {
  const std::string square = base64Encode(save(noise(64, 64), ".png"));
  struct Case {
    Json payload;
    std::string error;
  };
  const Case cases[] = {
      {{{"data", square}, {"limit", 0}}, "图片无法压缩到安全大小"},
      {{{"data", square}, {"limit", -1}}, "图片无法压缩到安全大小"},
      {Json::object(), "图片数据过大"},
      {{{"data", "@@@@"}}, "图片编码无效"},
      {{{"data", base64Encode("not an image")}}, "图片尺寸无效或过大"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(errorOf([&] { normalizeImage(c.payload); }), c.error) << c.payload.dump().substr(0, 60);
}

TEST_F(CommandsTest, QrRoundTripsExactly) {
  for (const std::string& text : {std::string("mirelo://join/#abc"), std::string("房卡 邀请 ✓ mirelo://join/#é"),
                                  std::string(2048, 'q'), std::string("a\"b\\c/d")}) {
    const std::string url = asHost(qrGenerate(Json{{"value", text}})).get<std::string>();
    ASSERT_TRUE(url.starts_with("data:image/png;base64,"));
    EXPECT_EQ(qrDecode(Json{{"data", url}}), text);
  }
}

TEST_F(CommandsTest, QrGeneratedGeometry) {
  // 43 bytes need version 3 at level L: 29 modules, scaled by 10, margin 40.
  const std::string text = "mirelo://join/#abcdefghijklmnopqrstuvwxyz01";
  const std::string url = asHost(qrGenerate(Json{{"value", text}})).get<std::string>();
  const Image code = decodePng(*base64Decode(url.substr(22)));
  EXPECT_EQ(code.width(), 370);
  EXPECT_EQ(code.height(), 370);
  EXPECT_EQ(pixel(code, 39, 39)[0], 255);  // margin
  EXPECT_EQ(pixel(code, 40, 40)[0], 0);  // the finder pattern's corner module
  EXPECT_EQ(pixel(code, 49, 49)[0], 0);
  // 2048 bytes need version 34: 149 modules, scale 2, margin 8.
  const Image big = decodePng(
      *base64Decode(asHost(qrGenerate(Json{{"value", std::string(2048, 'x')}})).get<std::string>().substr(22)));
  EXPECT_EQ(big.width(), 149 * 2 + 16);
  EXPECT_EQ(pixel(big, 7, 7)[0], 255);
  EXPECT_EQ(pixel(big, 8, 8)[0], 0);
}

TEST_F(CommandsTest, QrGenerateRefusals) {
  const Json cases[] = {Json{{"value", std::string(2049, 'x')}}, Json::object(), Json{{"value", 5}}};
  for (const auto& payload : cases) EXPECT_EQ(errorOf([&] { qrGenerate(payload); }), "邀请内容无效");
}

TEST_F(CommandsTest, QrCandidateRegions) {
  const auto card = qrCandidates(1200, 756);
  ASSERT_EQ(card.size(), 6u);
  EXPECT_EQ(card[0], (Region{0, 0, 1200, 756}));
  EXPECT_EQ(card[1], (Region{790, 190, 340, 340}));
  // Corners: lower left, upper left, lower right, upper right (origin at the top left here).
  EXPECT_EQ(card[2], (Region{0, 287, 744, 469}));
  EXPECT_EQ(card[3], (Region{0, 0, 744, 469}));
  EXPECT_EQ(card[4], (Region{456, 287, 744, 469}));
  EXPECT_EQ(card[5], (Region{456, 0, 744, 469}));
  EXPECT_EQ(qrCandidates(500, 500).size(), 5u);  // square: no card region
  EXPECT_EQ(qrCandidates(145, 100).size(), 6u);  // exactly 1.45
  EXPECT_EQ(qrCandidates(175, 100).size(), 6u);  // exactly 1.75
  EXPECT_EQ(qrCandidates(144, 100).size(), 5u);
  EXPECT_EQ(qrCandidates(176, 100).size(), 5u);
}

// A card-shaped picture: noise everywhere, the code only inside the card region.
TEST_F(CommandsTest, QrFoundInCardRegion) {
  const std::string text = "mirelo://join/#card-region";
  const Image code = decodePng(qrPng(text));
  std::vector<uint8_t> pixels(size_t{1200} * 756 * 3);
  std::mt19937 random(7);
  for (auto& p : pixels) p = static_cast<uint8_t>(random());
  Image card = fromPixels(pixels, 1200, 756, 3);
  VipsImage* small = nullptr;
  VipsImage* placed = nullptr;
  ASSERT_EQ(vips_resize(code.get(), &small, 320.0 / code.width(), "kernel", VIPS_KERNEL_NEAREST, nullptr), 0);
  VipsImage* rgb = nullptr;
  ASSERT_EQ(vips_colourspace(small, &rgb, VIPS_INTERPRETATION_sRGB, nullptr), 0);
  ASSERT_EQ(vips_insert(card.get(), rgb, &placed, 800, 200, nullptr), 0);
  g_object_unref(small);
  g_object_unref(rgb);
  const Image result(placed);
  EXPECT_EQ(qr(save(result, ".png")), text);
}

// A code of raw 8-bit data, drawn black on white with a quiet zone.
std::string qrOfBytes(const std::string& bytes) {
  QRinput* input = QRinput_new2(0, QR_ECLEVEL_L);
  if (!bytes.empty())
    QRinput_append(input, QR_MODE_8, static_cast<int>(bytes.size()),
                   reinterpret_cast<const unsigned char*>(bytes.data()));
  QRcode* code = QRcode_encodeInput(input);
  QRinput_free(input);
  if (!code) return {};
  const int scale = 8, side = (code->width + 8) * scale;
  std::vector<uint8_t> pixels(static_cast<size_t>(side) * side, 255);
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const int mx = x / scale - 4, my = y / scale - 4;
      if (mx >= 0 && my >= 0 && mx < code->width && my < code->width && (code->data[my * code->width + mx] & 1)) {
        pixels[static_cast<size_t>(y) * side + x] = 0;
      }
    }
  }
  QRcode_free(code);
  return save(fromPixels(pixels, side, side, 1), ".png");
}

TEST_F(CommandsTest, QrWithEmptyTextIsNotAnInvitation) {
  const std::string empty = qrOfBytes("");
  ASSERT_FALSE(empty.empty());
  EXPECT_EQ(errorOf([&] { qr(empty); }), "未找到房卡，请选择清晰完整的邀请图片");
  EXPECT_EQ(errorOf([&] { qr(save(noise(100, 100), ".png")); }), "未找到房卡，请选择清晰完整的邀请图片");
  EXPECT_EQ(errorOf([&] { qrDecode(Json{{"data", "!!"}}); }), "图片编码无效");
}

// Another encoder's bytes that are not UTF-8 are repaired, never cut short.
TEST_F(CommandsTest, QrBytesThatAreNotUtf8AreRepaired) {
  EXPECT_EQ(qr(qrOfBytes("PC-caf\xe9")), "PC-caf\xEF\xBF\xBD");
  EXPECT_EQ(qr(qrOfBytes("PC-\xff\xfe-x")), "PC-\xEF\xBF\xBD\xEF\xBF\xBD-x");
  EXPECT_EQ(qr(qrOfBytes("房卡 PC3-ok")), "房卡 PC3-ok");
}

// The logic of choose-images behind the panel: a fake panel hands back file URLs.
using services::testing::FakePanels;

TEST_F(CommandsTest, ChooseImagesLogic) {
  const auto dir = std::filesystem::temp_directory_path() / ("mirelo-choose-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string png = save(noise(20, 10), ".png");
  const auto put = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return "file://" + (dir / name).string();
  };
  FakePanels panels;
  // Types by extension in any case; the file's own bytes; at most eight files.
  for (int i = 0; i < 10; ++i)
    panels.files.push_back(put("f" + std::to_string(i) + (i == 1 ? ".JPG" : i == 2 ? ".bin" : ".png"), png));
  Json files = asHost(chooseImages(panels, Json{{"multiple", 1}}));
  EXPECT_TRUE(panels.opened.multiple);
  EXPECT_EQ(panels.opened.message, "选择要导入的图片");
  ASSERT_EQ(files.size(), 8u);
  EXPECT_EQ(files[0], (Json{{"name", "f0.png"}, {"type", "image/png"}, {"data", base64Encode(png)}}));
  EXPECT_EQ(files[1]["type"], "image/jpeg");
  EXPECT_EQ(files[2]["type"], "");
  // A file name on disk is bytes: one that is not UTF-8 comes back repaired, so the reply can be
  // written (its URL escapes the bytes as %FE).
  panels.files = {put("caf\xfe.png", png)};
  ASSERT_EQ(panels.files[0].find('\xfe'), panels.files[0].size() - 5);
  panels.files[0].replace(panels.files[0].size() - 5, 1, "%FE");
  files = asHost(chooseImages(panels, Json::object()));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]["name"], "caf\xEF\xBF\xBD.png");

  // The sticker limit: 5,242,881 bytes pass only without it.
  std::string large = png;
  large.resize(5'242'881, '\0');  // trailing bytes after IEND: still a readable PNG
  panels.files = {put("large.png", large)};
  EXPECT_EQ(chooseImages(panels, Json::object()).size(), 1u);
  EXPECT_FALSE(panels.opened.multiple);
  EXPECT_EQ(errorOf([&] { chooseImages(panels, Json{{"sticker", true}}); }), "图片不是普通文件或超过大小限制");

  // The first failing file's error is the reply; nothing for the others.
  panels.files = {put("good.png", png), put("bad.png", "not an image"), "file:///nonexistent/x.png"};
  EXPECT_EQ(errorOf([&] { chooseImages(panels, Json::object()); }), "图片尺寸无效或过大");

  // Its four types only: HEIF bytes are refused whatever the file is called, though other commands
  // read them.
  for (const char* suffix : {".heic", ".avif"}) {
    const std::string heif = convertOutput("-size 20x10 gradient:red-blue " + std::string(suffix + 1) + ":-");
    ASSERT_EQ(image(heif).width(), 20) << suffix;
    panels.files = {put(std::string("photo") + suffix + ".png", heif)};
    EXPECT_EQ(errorOf([&] { chooseImages(panels, Json::object()); }), "图片尺寸无效或过大") << suffix;
  }

  panels.files = {};
  EXPECT_EQ(chooseImages(panels, Json::object()), Json::array());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace mirelo::services::images

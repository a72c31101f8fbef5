#include "roomcard/commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "../images/fixtures.h"
#include "../images/photo_fixtures.h"
#include "../support/as_host.h"
#include "../support/error_of.h"
#include "../support/fakes/panels.h"
#include "../support/fakes/pasteboard.h"
#include "base64.h"
#include "images/qr.h"
#include "roomcard/codec.h"
#include "roomcard/watermark/reader.h"

namespace mirelo::services::roomcard {
namespace {

using Clip = RoomCardClipboard;
const std::string kInvite = "mirelo://join/#room-a";
const std::string kOther = "mirelo://join/#room-b";
const std::string kCustom(RoomCardCodec::customType);
const std::string kOriginal(Clip::originalPNG);
const std::string kPng(platform::kPngType);
const std::string kTiff(platform::kTiffType);

using services::testing::asHost;
using services::testing::errorOf;
using services::testing::FakeItem;
using services::testing::FakeOffer;
using services::testing::FakePanels;
using services::testing::FakePasteboard;

class RoomCardCommandsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { images::initialise(); }
  static std::string picture() { return images::testing::save(images::testing::noise(300, 200), ".png"); }
  static std::string card(const std::string& invitation) { return RoomCardCodec::encode(picture(), invitation); }
};

TEST_F(RoomCardCommandsTest, ReadCrossChecksAnItem) {
  const std::string cardA = card(kInvite), cardB = card(kOther), plainPng = picture();
  const std::string tiff = images::testing::save(images::testing::noise(64, 64), ".tif");
  struct Case {
    std::string name;
    FakeOffer item;
    std::string result;  // the invitation, "" for nothing, or an error message
  };
  const std::string conflict = "房卡图片与邀请信息不一致，请重新复制";
  const Case cases[] = {
      {"card as written", {{kPng, cardA}, {kOriginal, cardA}, {kCustom, kInvite}}, kInvite},
      {"two invitations", {{kPng, cardA}, {kOriginal, cardB}}, conflict},
      {"private text disagrees", {{kPng, cardA}, {kCustom, kOther}}, conflict},
      {"private text alone", {{kCustom, kInvite}}, ""},
      {"private text beside an image without a card", {{kPng, plainPng}, {kCustom, kInvite}}, kInvite},
      {"private text beside a TIFF", {{kTiff, tiff}, {kCustom, kInvite}}, kInvite},
      {"private text beside unreadable bytes", {{kPng, "junk"}, {kCustom, kInvite}}, ""},
      {"private text is not an invitation", {{kPng, plainPng}, {kCustom, "https://x"}}, ""},
      {"same invitation under two types", {{kPng, cardA}, {kOriginal, cardA}}, kInvite},
      {"original copy alone", {{kOriginal, cardA}}, kInvite},
      {"image without a card", {{kPng, plainPng}}, ""},
  };
  for (const auto& c : cases) {
    FakeItem item(c.item);
    std::string got;
    try {
      got = Clip::read(item, readRoomCard).value_or("");
    } catch (const Error& error) {
      got = error.message;
    }
    EXPECT_EQ(got, c.result) << c.name;
  }
}

TEST_F(RoomCardCommandsTest, ClipboardCardReadFallbacks) {
  const auto dir = std::filesystem::temp_directory_path() / ("mirelo-cards-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto put = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return "file://" + (dir / name).string();
  };
  const std::string noCard = "没有识别到有效房卡，请复制完整原图或使用邀请链接";
  struct Case {
    std::string name;
    FakeOffer item;
    std::vector<std::string> urls;
    std::optional<std::string> text;
    std::string result;
  };
  const std::string cardB = card(kOther);
  const Case cases[] = {
      {"item wins over file", {{kPng, card(kInvite)}}, {put("b.png", cardB)}, {}, kInvite},
      {"file in capitals", {}, {put("c.PNG", cardB)}, {}, kOther},
      {"gif skipped", {}, {put("d.gif", cardB)}, "PC-text", "PC-text"},
      {"unreadable file skipped", {}, {put("e.png", "junk"), put("f.jpg", cardB)}, {}, kOther},
      {"link without #", {}, {}, "mirelo://join/abc", "mirelo://join/abc"},
      {"text too long", {}, {}, "PC" + std::string(2047, 'x'), noCard},
      {"longest text", {}, {}, "PC" + std::string(2046, 'x'), "PC" + std::string(2046, 'x')},
      {"other text", {}, {}, "hello", noCard},
      {"empty", {}, {}, {}, noCard},
  };
  for (const auto& c : cases) {
    // One owner's offer, as on X: the item's types, the files as a URI list, the text as UTF-8.
    FakeOffer offer = c.item;
    for (const std::string& url : c.urls) offer[std::string(platform::kUriListType)] += url + "\r\n";
    if (c.text) offer["UTF8_STRING"] = *c.text;
    FakePasteboard pasteboard;
    if (!offer.empty()) pasteboard.contents = {offer};
    std::string got;
    try {
      got = clipboardCardRead(pasteboard, Json::object()).get<std::string>();
    } catch (const Error& error) {
      got = error.message;
    }
    EXPECT_EQ(got, c.result) << c.name;
  }
  std::filesystem::remove_all(dir);
}

TEST_F(RoomCardCommandsTest, ClipboardCardWrite) {
  const std::string cardA = card(kInvite);
  FakePasteboard pasteboard;
  EXPECT_EQ(clipboardCardWrite(pasteboard, Json{{"data", base64Encode(cardA)}, {"invitation", kInvite}}), true);
  ASSERT_EQ(pasteboard.contents.size(), 1u);
  EXPECT_EQ(pasteboard.contents[0].at(kPng), cardA);
  EXPECT_EQ(pasteboard.contents[0].at(kOriginal), cardA);
  EXPECT_EQ(pasteboard.contents[0].at(kCustom), kInvite);

  struct Case {
    std::string name;
    Json payload;
    bool refuse;
    std::string error;
  };
  const Case cases[] = {
      {"bytes before invitation", Json{{"data", "@@"}, {"invitation", 5}}, false, "图片编码无效"},
      {"invitation missing", Json{{"data", base64Encode(cardA)}}, false, "邀请内容无效"},
      {"card of another invitation", Json{{"data", base64Encode(cardA)}, {"invitation", kOther}}, false,
       "房卡图片与邀请信息不一致"},
      {"no chunk", Json{{"data", base64Encode(picture())}, {"invitation", kInvite}}, false,
       "未找到支持的邀请信息，请使用房卡 PNG 原图或邀请链接"},
      {"refused", Json{{"data", base64Encode(cardA)}, {"invitation", kInvite}}, true,
       "房卡未能写入剪贴板，请重试或保存 PNG 房卡"},
  };
  for (const auto& c : cases) {
    FakePasteboard target;
    target.refuse = c.refuse;
    EXPECT_EQ(errorOf([&] { clipboardCardWrite(target, c.payload); }), c.error) << c.name;
  }
}

TEST_F(RoomCardCommandsTest, EncodeAndDecode) {
  const std::string source = images::testing::save(images::testing::gradient(300, 200), ".png");
  // Without robust: the input with one chunk added.
  const std::string plain =
      *base64Decode(asHost(roomCardEncode(Json{{"invitation", kInvite}, {"data", base64Encode(source)}}))
                        .get<std::string>()
                        .substr(22));
  EXPECT_EQ(RoomCardCodec::decode(plain), kInvite);
  const auto sourceChunks = RoomCardCodec::chunks(source);
  EXPECT_EQ(RoomCardCodec::chunks(plain).size(), sourceChunks.size() + 1);
  // With robust: a card of the working size whatever the input size.
  const std::string robust = *base64Decode(
      asHost(roomCardEncode(Json{{"invitation", kInvite}, {"data", base64Encode(source)}, {"robust", true}}))
          .get<std::string>()
          .substr(22));
  const images::Image decoded = images::image(robust, 4096);
  EXPECT_EQ(std::pair(decoded.width(), decoded.height()), std::pair(1440, 960));
  EXPECT_EQ(roomCardDecode(Json{{"data", base64Encode(robust)}}), kInvite);

  // Reading falls back from the chunk to the watermark to the QR code.
  const std::string jpegCopy = images::testing::save(decoded, ".jpg", "[Q=60]");  // chunk gone
  EXPECT_EQ(roomCardDecode(Json{{"data", base64Encode(jpegCopy)}}), kInvite);
  EXPECT_EQ(roomCardDecode(Json{{"data", base64Encode(images::qrPng("any text at all"))}}), "any text at all");
  EXPECT_EQ(errorOf([&] {
              roomCardDecode(Json{{"data", base64Encode(source)}});
            }),
            "没有识别到有效房卡，请复制完整原图或使用邀请链接");

  // The invitation is checked before the data is read.
  EXPECT_EQ(errorOf([] { roomCardEncode(Json{{"invitation", 5}, {"data", "@@"}}); }), "邀请内容无效");
  EXPECT_EQ(errorOf([] { roomCardEncode(Json{{"invitation", "https://x"}, {"data", "@@"}}); }), "图片编码无效");
  EXPECT_EQ(errorOf([&] {
              roomCardEncode(Json{{"invitation", "https://x"}, {"data", base64Encode(source)}});
            }),
            "邀请内容无效");
}

// A photograph with a profile is drawn in the colours the profile gives, in sRGB: the card of a
// P3 photo is the card of that photo converted, not of its samples read as sRGB.
TEST_F(RoomCardCommandsTest, CardsOfTaggedPhotosAreDrawnInSrgb) {
  using namespace images::testing;
  using images::Image;
  const auto card = [](const std::string& data) {
    return *base64Decode(
        asHost(roomCardEncode(Json{{"invitation", kInvite}, {"data", base64Encode(data)}, {"robust", true}}))
            .get<std::string>()
            .substr(22));
  };
  const Image photo = gradient(300, 200);
  const Image p3 = tagged(photo, {{"icc-profile-data", p3Profile()}});
  VipsImage* converted = nullptr;
  ASSERT_EQ(vips_icc_transform(p3.get(), &converted, "srgb", "embedded", TRUE, "intent", VIPS_INTENT_RELATIVE, nullptr),
            0);
  const Image srgb(converted);
  vips_image_remove(srgb.get(), VIPS_META_ICC_NAME);
  const std::string p3Card = card(save(p3, ".png"));
  EXPECT_EQ(p3Card, card(save(srgb, ".png")));
  EXPECT_NE(p3Card, card(save(photo, ".png")));
  EXPECT_EQ(RoomCardCodec::decode(p3Card), kInvite);

  // CMYK with its profile: back to about the colours it was made from (without the profile, the
  // green would be 18 levels off).
  VipsImage* inks = nullptr;
  ASSERT_EQ(vips_icc_export(photo.get(), &inks, "output_profile", "cmyk", nullptr), 0);
  const Image cmyk(inks);
  ASSERT_EQ(vips_image_get_bands(cmyk.get()), 4);
  const std::vector<int> expected = meanColour(photo);
  const std::vector<int> drawn = meanColour(images::image(card(save(cmyk, ".jpg", "[Q=95]")), 4096));
  ASSERT_EQ(drawn.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(drawn[i], expected[i], 6) << "band " << i;
}

TEST_F(RoomCardCommandsTest, SaveFile) {
  const auto dir = std::filesystem::temp_directory_path() / ("mirelo-save-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string cardA = card(kInvite);
  FakePanels panels;
  panels.saveAnswer = (dir / "out.png").string();
  EXPECT_EQ(roomCardSaveFile(panels, Json{{"data", base64Encode(cardA)}}), true);
  EXPECT_EQ(panels.saved.proposedName, "Mirelo房卡.png");
  EXPECT_EQ(panels.saved.message, "保存完整 PNG 房卡，保留邀请信息");
  std::stringstream written;
  written << std::ifstream(dir / "out.png", std::ios::binary).rdbuf();
  EXPECT_EQ(written.str(), cardA);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);  // no temporary left behind

  panels.saveAnswer.reset();
  EXPECT_EQ(roomCardSaveFile(panels, Json{{"data", base64Encode(cardA)}}), false);
  const int shown = panels.shown;
  EXPECT_EQ(errorOf([&] {
              roomCardSaveFile(panels, Json{{"data", base64Encode(picture())}});
            }),
            "未找到支持的邀请信息，请使用房卡 PNG 原图或邀请链接");
  EXPECT_EQ(panels.shown, shown);  // no panel for something that is not a card
  panels.saveAnswer = (dir / "missing-folder" / "out.png").string();
  EXPECT_FALSE(errorOf([&] { roomCardSaveFile(panels, Json{{"data", base64Encode(cardA)}}); }).empty());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace mirelo::services::roomcard

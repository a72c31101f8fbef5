#include "roomcard/codec.h"

#include <gtest/gtest.h>

#include "../support/error_of.h"
#include "json.h"

namespace mirelo::services::roomcard {
namespace {

using Codec = RoomCardCodec;

std::string chunk(std::string_view type, std::string_view data) {
  const std::string body = std::string(type) + std::string(data);
  return Codec::number(static_cast<uint32_t>(data.size())) + body + Codec::number(Codec::checksum(body));
}

const std::string kIhdr = chunk("IHDR", std::string("\0\0\0\1\0\0\0\1\x08\0\0\0\0", 13));
const std::string kIdat = chunk("IDAT", "\x78\x9c\x63\x60\x00\x00\x00\x02\x00\x01");
const std::string kIend = chunk("IEND", "");
const std::string kSig(Codec::signature);
const std::string kPng = kSig + kIhdr + chunk("tEXt", "Comment\0hi") + kIdat + kIend;

std::string cardChunk(const std::string& json) { return chunk("miRc", json); }

using services::testing::errorOf;

TEST(RoomCardCodec, StructuralChecks) {
  std::string badCrc = kPng;
  badCrc[kSig.size() + 20] ^= 1;  // inside IHDR's data
  std::string nonEmptyIend = kSig + kIhdr + kIdat + chunk("IEND", "x");
  struct Case {
    std::string name, png, error;
  };
  const Case cases[] = {
      {"valid", kPng, ""},
      {"empty", "", "房卡文件结构无效"},
      {"signature only", kSig, "房卡文件结构无效"},
      {"signature prefix", kSig.substr(0, 3), "房卡文件结构无效"},
      {"wrong signature", "GIF89a", "请使用Mirelo提供的 PNG 原图"},
      {"stray bytes", kSig + kIhdr + kIdat + std::string(1, '\0'), "房卡文件不完整"},
      {"eleven stray bytes", kSig + kIhdr + kIdat + std::string(11, '\0'), "房卡文件不完整"},
      {"length past end", kSig + kIhdr + Codec::number(100) + "IDAT" + std::string(20, '\0'), "房卡文件不完整"},
      {"no IEND", kSig + kIhdr + kIdat, "房卡文件结构无效"},
      {"bytes after IEND", kPng + "x", "房卡文件结构无效"},
      {"second IEND", kPng + kIend, "房卡文件结构无效"},
      {"non-empty IEND", nonEmptyIend, "房卡文件结构无效"},
      {"wrong CRC", badCrc, "房卡文件已损坏"},
      {"no IDAT", kSig + kIhdr + kIend, "房卡文件结构无效"},
      {"two card chunks", kSig + kIhdr + kIdat + cardChunk("{}") + cardChunk("{}") + kIend, "房卡文件结构无效"},
      {"first not IHDR", kSig + kIdat + kIhdr + kIend, "房卡文件结构无效"},
      {"short IHDR", kSig + chunk("IHDR", std::string(12, '\0')) + kIdat + kIend, "房卡文件结构无效"},
  };
  for (const auto& c : cases) EXPECT_EQ(errorOf([&] { Codec::chunks(c.png); }), c.error) << c.name;

  std::string wrongCrcIend = kSig + kIhdr + kIdat + Codec::number(1) + "IENDx" + Codec::number(0);
  EXPECT_EQ(errorOf([&] { Codec::chunks(wrongCrcIend); }), "房卡文件已损坏");  // the CRC is reported first
}

TEST(RoomCardCodec, SizeBoundCheckedFirst) {
  // Exactly 8 MiB is walked; one byte more is refused before anything else.
  const size_t filler = Codec::maxPng - (kSig + kIhdr + kIdat + kIend).size() - 12;
  const std::string exact = kSig + kIhdr + chunk("zzZz", std::string(filler, 'f')) + kIdat + kIend;
  ASSERT_EQ(exact.size(), Codec::maxPng);
  EXPECT_EQ(errorOf([&] { Codec::chunks(exact); }), "");
  EXPECT_EQ(errorOf([&] { Codec::chunks(exact + "x"); }), "请使用Mirelo提供的 PNG 原图");
  std::string corrupt = exact + "x";
  corrupt[0] = 'X';
  EXPECT_EQ(errorOf([&] { Codec::chunks(corrupt); }), "请使用Mirelo提供的 PNG 原图");
  // Encoding that would pass the limit.
  EXPECT_EQ(errorOf([&] { Codec::encode(exact, "mirelo://join/#x"); }), "房卡图片过大");
}

TEST(RoomCardCodec, EncodeWritesOneChunkBeforeIendAndKeepsTheRest) {
  const std::string invitation = "mirelo://join/#room/a";
  const std::string card = Codec::encode(kPng, invitation);
  const std::string json = R"({"invitation":"mirelo:\/\/join\/#room\/a","version":1})";
  EXPECT_EQ(card, kSig + kIhdr + chunk("tEXt", "Comment\0hi") + kIdat + cardChunk(json) + kIend);
  EXPECT_EQ(Codec::decode(card), invitation);
  // Re-encoding replaces the chunk wherever it stood, and is idempotent.
  const std::string elsewhere =
      kSig + kIhdr + cardChunk(R"({"invitation":"mirelo://join/#old","version":1})") + kIdat + kIend;
  const std::string replaced = Codec::encode(elsewhere, "mirelo://join/#new");
  EXPECT_EQ(Codec::decode(replaced), "mirelo://join/#new");
  EXPECT_EQ(Codec::encode(replaced, "mirelo://join/#new"), replaced);
  EXPECT_EQ(Codec::encode(card, invitation), card);
  EXPECT_EQ(Codec::chunks(replaced).size(), 4u);
}

TEST(RoomCardCodec, InvitationBounds) {
  const std::string prefix = "mirelo://join/#";
  const std::string longest = prefix + std::string(2048 - prefix.size(), 'a');
  EXPECT_EQ(Codec::decode(Codec::encode(kPng, longest)), longest);
  EXPECT_EQ(errorOf([&] { Codec::encode(kPng, longest + "a"); }), "邀请内容无效");
  EXPECT_EQ(errorOf([&] { Codec::encode(kPng, "mirelo://join/x"); }), "邀请内容无效");
  // A chunk written by someone else with an invitation one byte too long is not read.
  const std::string tooLong =
      kSig + kIhdr + kIdat + cardChunk(writeJson(Json{{"invitation", longest + "a"}, {"version", 1}}).value()) + kIend;
  EXPECT_EQ(errorOf([&] { Codec::decode(tooLong); }), "未找到支持的邀请信息，请使用房卡 PNG 原图或邀请链接");
  // Invalid input to encode fails as the PNG's own error before the invitation's? No: the invitation first.
  EXPECT_EQ(errorOf([&] { Codec::encode("junk", "bad"); }), "邀请内容无效");
}

TEST(RoomCardCodec, DecodeChecksThePayload) {
  const std::string notFound = "未找到支持的邀请信息，请使用房卡 PNG 原图或邀请链接";
  struct Case {
    std::string payload, result;
  };
  const Case cases[] = {
      {R"({"invitation":"mirelo://join/#a","version":1})", "mirelo://join/#a"},
      {R"({"version":1.0,"invitation":"mirelo://join/#a","extra":[1]})", "mirelo://join/#a"},
      {R"({"invitation":"mirelo://join/#a","version":true})", notFound},
      {R"({"invitation":"mirelo://join/#a","version":2})", notFound},
      {R"({"invitation":"mirelo://join/#a","version":"1"})", notFound},
      {R"({"invitation":"mirelo://join/#a","version":1.5})", notFound},
      {R"({"invitation":"mirelo://join/#a"})", notFound},
      {R"({"invitation":"https://x","version":1})", notFound},
      {R"({"invitation":5,"version":1})", notFound},
      {R"([1])", notFound},
      {R"({})", notFound},
      {std::string(4097, ' '), notFound},  // over 4,096 bytes: not read at all
  };
  for (const auto& c : cases) {
    const std::string png = std::string(kSig).append(kIhdr).append(kIdat).append(cardChunk(c.payload)).append(kIend);
    std::string got;
    try {
      got = Codec::decode(png);
    } catch (const Error& error) {
      got = error.message;
    }
    EXPECT_EQ(got, c.result) << c.payload.substr(0, 60);
  }
  EXPECT_EQ(errorOf([&] { Codec::decode(kPng); }), notFound);
  // Not JSON: the parser's own error, not a room card message.
  const std::string garbage = kSig + kIhdr + kIdat + cardChunk("{not json") + kIend;
  try {
    Codec::decode(garbage);
    FAIL();
  } catch (const Error& error) {
    EXPECT_FALSE(error.message.empty());
    EXPECT_NE(error.message, notFound);
  }
}

}  // namespace
}  // namespace mirelo::services::roomcard

// Robust room cards are pinned pixel for pixel: each picture below goes through `room-card-encode`
// (decoding, the watermark, the PNG writer, the card chunk) and the SHA-256 of what a reader gets
// from the card (its decoded pixels and every chunk but the compressed image data) must be the one
// recorded. A change to the watermark that moves a single pixel fails here; the PNG's compression
// may change. A deliberate change of the format records new digests.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <vips/vips.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base64.h"
#include "pictures.h"
#include "roomcard/commands.h"

namespace mirelo::services::roomcard {
namespace {

using images::Image;
using testing::photo;

const std::string kCompact = "mirelo://join/#PC3-eyJyIjoidGVzdC1yb29tIiwiayI6IjAxMjM0NTY3ODlhYmNkZWYwMTIzIn0";
const std::string kPlain = "mirelo://join/#room-7f3a9c/key-0123456789abcdef";

// 300 letters and digits after the link prefix: a packet of a few hundred bytes.
std::string longInvitation() {
  std::string text = "mirelo://join/#";
  unsigned state = 7;
  for (int i = 0; i < 300; ++i) {
    state = state * 1103515245 + 12345;
    text.push_back("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"[(state >> 16) % 62]);
  }
  return text;
}

std::string sha256(const std::vector<uint8_t>& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(bytes.data(), bytes.size(), digest);
  std::string hex;
  char pair[3];
  for (unsigned char byte : digest) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

uint32_t bigEndian(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

// Every chunk but IDAT (type and data, in order), then the pixels libvips decodes with their size.
std::string cardDigest(const std::vector<uint8_t>& png) {
  std::vector<uint8_t> seen;
  for (size_t at = 8; at + 12 <= png.size();) {
    const size_t length = bigEndian(&png[at]);
    if (at + 12 + length > png.size()) {
      ADD_FAILURE() << "truncated chunk";
      return {};
    }
    if (std::memcmp(&png[at + 4], "IDAT", 4) != 0) seen.insert(seen.end(), &png[at + 4], &png[at + 8 + length]);
    at += 12 + length;
  }
  VipsImage* image = vips_image_new_from_buffer(png.data(), png.size(), "", nullptr);
  if (!image) {
    ADD_FAILURE() << "not a PNG libvips reads";
    return {};
  }
  for (const int value : {vips_image_get_width(image), vips_image_get_height(image), vips_image_get_bands(image)}) {
    seen.insert(seen.end(), reinterpret_cast<const uint8_t*>(&value), reinterpret_cast<const uint8_t*>(&value + 1));
  }
  size_t size = 0;
  auto* pixels = static_cast<uint8_t*>(vips_image_write_to_memory(image, &size));
  g_object_unref(image);
  if (!pixels) {
    ADD_FAILURE() << "pixels not decoded";
    return {};
  }
  seen.insert(seen.end(), pixels, pixels + size);
  g_free(pixels);
  return sha256(seen);
}

class CardBytesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { images::initialise(); }
};

TEST_F(CardBytesTest, RobustCardsDecodeToTheSamePixels) {
  struct Case {
    const char* name;
    Image picture;
    std::string invitation;
    const char* digest;
  };
  const Case cases[] = {
      {"landscape photo", photo(2000, 1500, 1), kCompact,
       "978c6351b85cc5452c18e4011e62870e1ecec856452f86191d45173b7e9843b6"},
      {"portrait photo", photo(900, 1400, 2), kPlain,
       "8b7625a71b32cd411bf6fba14d01cf9d89ea1a6e8daf60e2f849fc72790b6ad1"},
      {"square photo", photo(1000, 1000, 3), kCompact,
       "f5c06867a6af89615fa2ef39f0a23085de4778a03d2973df2d75fa40bfd2d8a0"},
      {"small photo enlarged, long invitation", photo(640, 480, 6), longInvitation(),
       "856c35cf3bc2c03efef3d2a03f290a1155ea118ccdc052e167d7f22e0f4e55f1"},
      {"landscape with alpha", photo(1500, 1000, 9, true), kCompact,
       "702c261973112c028ec448aa9819185e948d3f792f99c07dad4ef248a2c523fa"},
      {"portrait with alpha, long invitation", photo(1000, 1500, 10, true), longInvitation(),
       "248ed680b103fcc69901bc20e55c3c700a1394133558a8e8b907619cb7c6bae6"},
      {"square with alpha", photo(1100, 1000, 11, true), kPlain,
       "a7d539bf56f4f22a5d22c5e654e05272d7641c353ee4c5ce5d741312f3521448"},
      {"flat black: headroom", testing::halfFlat(0), kCompact,
       "0903167be5b069744ad281f066e4dc1ddc7a4ef93f04e0aa214a39855db99ad7"},
      {"flat white: headroom", testing::halfFlat(255), kPlain,
       "7c9b73876ee6ef022715d4f32c9da921176a8a7cb060fc818f9d6d82aeb753ae"},
      {"text on white: aimed off", testing::textOnWhite(), kCompact,
       "7cc950c703719d91595bdceec73488e500ad4aff60d2257042bead3beeb8f070"},
  };
  for (const Case& c : cases) {
    const Json payload{{"invitation", c.invitation}, {"data", base64Encode(images::png(c.picture))}, {"robust", true}};
    const Json card = roomCardEncode(payload);
    ASSERT_TRUE(card.is_binary()) << c.name;
    EXPECT_EQ(cardDigest(card.get_binary()), c.digest) << c.name;
  }
}

}  // namespace
}  // namespace mirelo::services::roomcard

// Robust room cards are pinned byte for byte: each picture below goes through `room-card-encode`
// (decoding, the watermark, the PNG writer, the card chunk) and the SHA-256 of the card must be the
// one recorded. A change to the watermark that moves a single pixel fails here; a deliberate change
// of the format records new digests.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstdio>
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

class CardBytesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { images::initialise(); }
};

TEST_F(CardBytesTest, RobustCardsAreByteIdentical) {
  struct Case {
    const char* name;
    Image picture;
    std::string invitation;
    const char* digest;
  };
  const Case cases[] = {
      {"landscape photo", photo(2000, 1500, 1), kCompact,
       "9cab83eeaa6ee8013d23b95ae5f39a2f1fbd691a9a2be3572ff45cf8f1ee31e3"},
      {"portrait photo", photo(900, 1400, 2), kPlain,
       "2d323e2852fda7d13d0acde18949dbfe8a0f2ef7cd8772e1252d58eecbd455a2"},
      {"square photo", photo(1000, 1000, 3), kCompact,
       "5be401be88f736ed5f644d311a63e6948c65e0d6306ee318b680ae809d431341"},
      {"small photo enlarged, long invitation", photo(640, 480, 6), longInvitation(),
       "bf38d65eefa30f2a4e5de1d79f784f46ff0c9b239bf252dc814835d2509825ae"},
      {"landscape with alpha", photo(1500, 1000, 9, true), kCompact,
       "826d0ed190324e3a6075266df8e910aca80fc5ca22b477d759c32bf38b336d44"},
      {"portrait with alpha, long invitation", photo(1000, 1500, 10, true), longInvitation(),
       "9ca68ceed548ae7e27399632a32da59f427362fd534e8cf273407a2162468d1d"},
      {"square with alpha", photo(1100, 1000, 11, true), kPlain,
       "6e5b16f8f601fc95ef9a63e6ab5db6aa0dd8b4cec72e2350eae0023056e227a2"},
      {"flat black: headroom", testing::halfFlat(0), kCompact,
       "79be51c2431e916156ee740cd201a0fb4cfa720982fb4529a4d88a29cda8dbd3"},
      {"flat white: headroom", testing::halfFlat(255), kPlain,
       "bc6a2d6bd36de75af02b88e62e3782107ed98b705b508691e26b5dd38f903e49"},
      {"text on white: aimed off", testing::textOnWhite(), kCompact,
       "7fcb33a97e0965a53294188726de535ec5f0ad390bc4729236fe776ce85e942c"},
  };
  for (const Case& c : cases) {
    const Json payload{{"invitation", c.invitation}, {"data", base64Encode(images::png(c.picture))}, {"robust", true}};
    const Json card = roomCardEncode(payload);
    ASSERT_TRUE(card.is_binary()) << c.name;
    EXPECT_EQ(sha256(card.get_binary()), c.digest) << c.name;
  }
}

}  // namespace
}  // namespace mirelo::services::roomcard

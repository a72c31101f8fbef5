#include "base64.h"

#include <gtest/gtest.h>

#include <random>

#include "json.h"

namespace mirelo {
namespace {

TEST(Base64, EncodesStandardWithPadding) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {std::string("\xff\xfe\x00", 3), "//4A"}, {"\xfb\xff", "+/8="},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(base64Encode(bytes), text);
    const auto decoded = base64Decode(text);
    ASSERT_TRUE(decoded) << text;
    EXPECT_EQ(*decoded, bytes);
  }
}

TEST(Base64, DecodeIsStrict) {
  const char* refused[] = {
      "Zg",        // padding missing
      "Zg=",       // padding short
      "Zm9v\n",    // line break
      "Zm9 v",     // whitespace inside
      " Zm9v",     // leading whitespace
      "Zm9v====",  // padding alone
      "Zg==Zg==",  // padding in the middle
      "Z===",      // too much padding
      "Zm-_",      // URL-safe alphabet
      "Zm9v\r\n",  // CRLF
      "=Zm9",      // padding first
      "Zm9v=",     // length not a multiple of four
  };
  for (const char* text : refused) EXPECT_FALSE(base64Decode(text)) << text;
}

TEST(Base64, IgnoresUnusedBitsOfLastSymbol) {
  EXPECT_EQ(base64Decode("Zh=="), "f");
  EXPECT_EQ(base64Decode("Zm9="), "fo");
}

TEST(Base64, AllByteValuesRoundTrip) {
  std::string bytes;
  for (int i = 0; i < 256 * 3; ++i) bytes.push_back(static_cast<char>(i * 7));
  for (size_t n = 0; n < 7; ++n) {
    const std::string slice = bytes.substr(n);
    EXPECT_EQ(base64Decode(base64Encode(slice)), slice);
    EXPECT_EQ(base64DecodedSize(base64Encode(slice)), slice.size());
  }
}

// The escaped encoding is the plain one as our JSON writer writes it inside a string.
TEST(Base64, EscapedEncodingIsThePlainOneWrittenAsJson) {
  std::mt19937 random(7);
  for (size_t size = 0; size < 200; ++size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    if (size == 3) bytes = "\xff\xff\xff";  // all "/"
    const std::string json = writeJson(Json(base64Encode(bytes))).value();
    std::string out(base64EscapedBound(size), '\0');
    out.resize(base64EncodeEscaped(bytes, out.data()));
    EXPECT_EQ(out, json.substr(1, json.size() - 2)) << size;
  }
}

}  // namespace
}  // namespace mirelo

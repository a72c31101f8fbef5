#include "base64.h"

#include <gtest/gtest.h>

#include <random>

#include "json.h"

namespace mirelo {
namespace {

TEST(Base64, EncodesStandardWithPadding) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {std::string("\xff\xfe\x00", 3), "//4A"},
      {"\xfb\xff", "+/8="},
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
      "Zg",  // padding missing
      "Zg=",  // padding short
      "Zm9v\n",  // line break
      "Zm9 v",  // whitespace inside
      " Zm9v",  // leading whitespace
      "Zm9v====",  // padding alone
      "Zg==Zg==",  // padding in the middle
      "Z===",  // too much padding
      "Zm-_",  // URL-safe alphabet
      "Zm9v\r\n",  // CRLF
      "=Zm9",  // padding first
      "Zm9v=",  // length not a multiple of four
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

// The decoder reads eight characters at a time: every length, a bad character at every position
// and the exact output size (nothing written past it) are checked against the encoder.
TEST(Base64, DecodeToEveryLengthAndPosition) {
  std::string bytes;
  for (int i = 0; i < 64; ++i) bytes.push_back(static_cast<char>(i * 37 + 11));
  for (size_t n = 0; n <= bytes.size(); ++n) {
    const std::string text = base64Encode(bytes.substr(0, n));
    std::string out(n + 16, '#');
    ASSERT_TRUE(base64DecodeTo(text, out.data())) << n;
    EXPECT_EQ(out, bytes.substr(0, n) + std::string(16, '#')) << n;
    for (size_t at = 0; at < text.size(); ++at) {
      for (char bad : {'=', '-', '\0', '\x80', ' '}) {
        // Padding at the end is valid wherever it lands; a padding character is not replaced.
        const bool endsPadded = at + 1 == text.size() || (at + 2 == text.size() && text.back() == '=');
        if (text[at] == '=' || (bad == '=' && endsPadded)) continue;
        std::string broken = text;
        broken[at] = bad;
        EXPECT_FALSE(base64Decode(broken)) << n << " at " << at;
      }
    }
  }
}

TEST(Base64, EncodeAppendKeepsWhatWasThere) {
  std::string line = "{\"data\":\"";
  base64EncodeAppend(line, "foob");
  EXPECT_EQ(line, "{\"data\":\"Zm9vYg==");
  base64EncodeAppend(line, "");
  EXPECT_EQ(line, "{\"data\":\"Zm9vYg==");
}

// Every length around the wide steps' edges: exactly base64Encode, nothing written past it.
TEST(Base64, EncodeToWritesItsLengthOnly) {
  std::mt19937 random(11);
  for (size_t size = 0; size < 120; ++size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    std::string out(base64EncodedSize(size) + 8, '#');
    EXPECT_EQ(base64EncodeTo(bytes, out.data()), base64EncodedSize(size));
    EXPECT_EQ(out, base64Encode(bytes) + std::string(8, '#')) << size;
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

// Long texts go through the wide steps where the processor has them: their output must be what a
// codec taking six bits at a time makes, for every length around a step's edges, with nothing
// written past the bound, and a bad character anywhere refused.
std::string bitByBit(const std::string& bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = 0;
    for (size_t k = 0; k < 3; ++k) v = v << 8 | (i + k < bytes.size() ? static_cast<unsigned char>(bytes[i + k]) : 0);
    const size_t symbols = std::min<size_t>(4, (bytes.size() - i) * 8 / 6 + 1);
    for (size_t k = 0; k < 4; ++k) text.push_back(k < symbols ? alphabet[v >> (18 - 6 * k) & 63] : '=');
  }
  return text;
}

TEST(Base64, WideStepsAgreeWithASixBitCodec) {
  std::mt19937 random(11);
  for (size_t size = 0; size < 400; ++size) {
    for (const bool slashes : {false, true}) {
      std::string bytes(size, '\xff');  // all "/": the escaped text's longest
      if (!slashes)
        for (char& c : bytes) c = static_cast<char>(random());
      const std::string expected = bitByBit(bytes);
      ASSERT_EQ(base64Encode(bytes), expected) << size;
      std::string escaped(base64EscapedBound(size) + 64, '#');
      const size_t length = base64EncodeEscaped(bytes, escaped.data());
      EXPECT_EQ(escaped.substr(base64EscapedBound(size)), std::string(64, '#')) << size;
      std::string unescaped;
      for (size_t i = 0; i < length; ++i) {
        if (escaped[i] == '\\') ++i;
        unescaped.push_back(escaped[i]);
      }
      EXPECT_EQ(unescaped, expected) << size;
      std::string out(size + 32, '#');
      ASSERT_TRUE(base64DecodeTo(expected, out.data())) << size;
      EXPECT_EQ(out, bytes + std::string(32, '#')) << size;
    }
  }
  std::string bytes(300, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  const std::string text = base64Encode(bytes);
  for (size_t at = 0; at < text.size(); ++at) {
    for (const char bad : {'=', '-', '\x80', '\xff', '@', '[', '`', '{', ':'}) {
      if (bad == '=' && at + 1 == text.size()) continue;  // padding where it may stand
      std::string broken = text;
      broken[at] = bad;
      EXPECT_FALSE(base64Decode(broken)) << at << " " << int(bad);
    }
  }
}

}  // namespace
}  // namespace mirelo

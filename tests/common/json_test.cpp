#include "json.h"

#include "base64.h"
#include "block_pool.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace mirelo {
namespace {

TEST(JsonWriter, WritesCompactSortedEscaped) {
  struct Case {
    Json value;
    const char* text;
  };
  const Case cases[] = {
      {Json{{"value", true}, {"id", "a/b"}}, R"({"id":"a\/b","value":true})"},
      {Json{{"b", 1}, {"a", Json{{"z", nullptr}, {"Z", false}}}}, R"({"a":{"Z":false,"z":null},"b":1})"},
      {Json("data:image/png;base64,"), R"("data:image\/png;base64,")"},
      {Json("房卡 é ✓ \xF0\x9F\x98\x80"), "\"房卡 é ✓ \xF0\x9F\x98\x80\""},
      {Json("q\"b\\n\n\r\t\b\f\x01\x1f\x7f"), R"("q\"b\\n\n\r\t\b\f\u0001\u001f)"
                                              "\x7f\""},
      {Json::array({1, -2, 3.5, "x", Json::array(), Json::object()}), R"([1,-2,3.5,"x",[],{}])"},
      {Json(3.0), "3"},
      {Json(-0.25), "-0.25"},
      {Json(1e300), "1e+300"},
      {Json(std::numeric_limits<uint64_t>::max()), "18446744073709551615"},
      {Json(std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
  };
  for (const auto& c : cases) {
    const auto text = writeJson(c.value);
    ASSERT_TRUE(text) << c.text;
    EXPECT_EQ(*text, c.text);
  }
}

TEST(JsonWriter, RefusesWholeValueItCannotWrite) {
  const Json cases[] = {
      Json{{"id", "x"}, {"value", "ok\xFF"}},
      Json{{"id", "x"}, {"value", Json::array({1, std::numeric_limits<double>::quiet_NaN()})}},
      Json{{"value", std::numeric_limits<double>::infinity()}},
      Json{{"bad\xC0\x80", 1}},
  };
  for (const auto& value : cases) EXPECT_FALSE(writeJson(value));
}

TEST(JsonReader, ParsesStrictlyAndRoundTrips) {
  JsonReader reader;
  const auto value =
      reader.parse(R"({"id":"a\/b","command":"x","payload":{"n":3.0,"big":18446744073709551615,"s":"\u00e9"}})");
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["id"], "a/b");
  EXPECT_EQ((*value)["payload"]["s"], "é");
  EXPECT_TRUE((*value)["payload"]["n"].is_number_float());
  EXPECT_TRUE((*value)["payload"]["big"].is_number_unsigned());
  EXPECT_EQ(*writeJson(*value), R"({"command":"x","id":"a\/b","payload":{"big":18446744073709551615,"n":3,"s":"é"}})");
}

TEST(JsonReader, RejectsInvalidText) {
  JsonReader reader;
  for (const char* text : {"", " ", "{", "{\"a\":1,}", "[1 2]", "{'a':1}", "{\"a\":1} x", "nul", "{\"a\":01}",
                           "{\"a\":\"\x01\"}", "{\"a\":NaN}"}) {
    EXPECT_FALSE(reader.parse(text)) << text;
  }
}

TEST(JsonReader, TakesNumbersPast64Bits) {
  JsonReader reader;
  const auto value = reader.parse(R"({"id":"x","big":18446744073709551616,"huge":1e400,"neg":-99999999999999999999})");
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["id"], "x");
  EXPECT_DOUBLE_EQ((*value)["big"].get<double>(), 18446744073709551616.0);
  EXPECT_DOUBLE_EQ((*value)["neg"].get<double>(), -1e20);
  EXPECT_EQ((*value)["huge"].get<double>(), std::numeric_limits<double>::max());
  // The fallback is as strict as the fast path, and the last duplicate still wins.
  EXPECT_FALSE(reader.parse(R"({"a":1e400,})"));
  EXPECT_FALSE(reader.parse(R"({"a":01,"b":1e400})"));
  EXPECT_FALSE(reader.parse(R"({"a":1e400e5})"));
  EXPECT_FALSE(reader.parse(R"({"a":1e400,"s":"\"1e400)"));
  EXPECT_EQ((*reader.parse(R"({"a":1,"a":1e400,"a":2})"))["a"], 2);
}

// Every whole double the writer prints must read back as the same double, here and in readers
// limited to 64-bit integers.
TEST(JsonWriter, WholeDoublesReadBackExactly) {
  JsonReader reader;
  for (double d : {9007199254740992.0, 18446744073709551616.0, 1.8446744073709552e19, 1e21, 1e22, -3e20, 123456789e15,
                   1.7976931348623157e308}) {
    const auto text = writeJson(Json(d));
    ASSERT_TRUE(text);
    EXPECT_NE(text->find('e'), std::string::npos) << *text;
    const auto back = reader.parse(*text);
    ASSERT_TRUE(back) << *text;
    EXPECT_EQ(back->get<double>(), d) << *text;
  }
}

TEST(JsonReader, LastDuplicateKeyWins) {
  JsonReader reader;
  const auto value = reader.parse(R"({"id":"first","id":"second"})");
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["id"], "second");
}

// A string appended by hand reads as the writer writes it; one it cannot write adds nothing.
TEST(JsonWriter, AppendedStringIsTheWritersString) {
  for (const std::string& text :
       std::vector<std::string>{"", "plain", "a/b\"c\\d", "\n\t\x01\x1f", "中文😀", std::string(40, '/')}) {
    std::string out = "x";
    ASSERT_TRUE(appendJsonString(out, text)) << text;
    EXPECT_EQ(out, "x" + writeJson(Json(text)).value());
  }
  std::string out = "x";
  EXPECT_FALSE(appendJsonString(out, "bad\xff"));
  EXPECT_EQ(out, "x");
}

// Bytes given as a Base64 value are written as the string of their Base64 (after a data URL's
// prefix), in a std::string and in a reply line alike; a prefix the writer does not know is refused.
TEST(JsonWriter, Base64ValueIsTheStringOfItsBase64) {
  const std::vector<std::vector<uint8_t>> cases = {
      {}, {0xff}, {0xfb, 0xff}, {0xff, 0xff, 0xff, 0x3f}, {'a', 'b', 'c', 'd', 'e'}};
  for (const auto& bytes : cases) {
    const std::string text = base64Encode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    for (const auto& [prefix, written] :
         {std::pair(Base64Prefix::none, text), std::pair(Base64Prefix::pngDataUrl, "data:image/png;base64," + text)}) {
      const Json value{{"data", base64Value(bytes, prefix)}, {"n", 1}};
      const Json expected{{"data", written}, {"n", 1}};
      EXPECT_EQ(writeJson(value), writeJson(expected)) << text;
      BlockBuffer line;
      line.append("x");
      ASSERT_TRUE(writeJson(value, line));
      EXPECT_EQ(line.view(), "x" + writeJson(expected).value());
    }
  }
  EXPECT_FALSE(writeJson(Json::binary({1, 2, 3}, 7)));
}

}  // namespace
}  // namespace mirelo

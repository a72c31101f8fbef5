#include "json.h"

#include <gtest/gtest.h>

#include <limits>

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
      {Json("q\"b\\n\n\r\t\b\f\x01\x1f\x7f"), R"("q\"b\\n\n\r\t\b\f\u0001\u001f)" "\x7f\""},
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
  const auto value = reader.parse(R"({"id":"a\/b","command":"x","payload":{"n":3.0,"big":18446744073709551615,"s":"\u00e9"}})");
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["id"], "a/b");
  EXPECT_EQ((*value)["payload"]["s"], "é");
  EXPECT_TRUE((*value)["payload"]["n"].is_number_float());
  EXPECT_TRUE((*value)["payload"]["big"].is_number_unsigned());
  EXPECT_EQ(*writeJson(*value),
            R"({"command":"x","id":"a\/b","payload":{"big":18446744073709551615,"n":3,"s":"é"}})");
}

TEST(JsonReader, RejectsInvalidText) {
  JsonReader reader;
  for (const char* text : {"", " ", "{", "{\"a\":1,}", "[1 2]", "{'a':1}", "{\"a\":1} x", "nul", "{\"a\":01}",
                           "{\"a\":\"\x01\"}", "{\"a\":NaN}"}) {
    EXPECT_FALSE(reader.parse(text)) << text;
  }
}

TEST(JsonReader, LastDuplicateKeyWins) {
  JsonReader reader;
  const auto value = reader.parse(R"({"id":"first","id":"second"})");
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["id"], "second");
}

}  // namespace
}  // namespace mirelo

#include "payload.h"

#include <gtest/gtest.h>

namespace mirelo {
namespace {

const Json kPayload = Json::parse(R"({
  "s": "text", "empty": "", "t": true, "f": false, "one": 1, "zero": 0, "oneFloat": 1.0, "two": 2,
  "three": 3, "threeFloat": 3.0, "half": 3.5, "neg": -4, "huge": 9223372036854775808, "max": 9223372036854775807,
  "hugeFloat": 9.3e18, "minFloat": -9223372036854775808.0, "null": null, "obj": {"a": 1}, "arr": [1],
  "numText": "3", "boolText": "true"
})");

TEST(PayloadReaders, String) {
  EXPECT_EQ(*readString(kPayload, "s"), "text");
  EXPECT_EQ(*readString(kPayload, "empty"), "");
  for (const char* name : {"missing", "null", "one", "t", "obj", "arr", "S"})
    EXPECT_FALSE(readString(kPayload, name)) << name;
}

TEST(PayloadReaders, Boolean) {
  const std::pair<const char*, std::optional<bool>> cases[] = {
      {"t", true},
      {"f", false},
      {"one", true},
      {"zero", false},
      {"oneFloat", true},
      {"two", std::nullopt},
      {"boolText", std::nullopt},
      {"null", std::nullopt},
      {"missing", std::nullopt},
      {"obj", std::nullopt},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(readBoolean(kPayload, name), expected) << name;
}

TEST(PayloadReaders, Integer) {
  const std::pair<const char*, std::optional<int64_t>> cases[] = {
      {"three", 3},
      {"threeFloat", 3},
      {"neg", -4},
      {"zero", 0},
      {"max", INT64_MAX},
      {"minFloat", INT64_MIN},
      {"half", std::nullopt},
      {"huge", std::nullopt},
      {"hugeFloat", std::nullopt},
      {"numText", std::nullopt},
      {"t", std::nullopt},
      {"null", std::nullopt},
      {"missing", std::nullopt},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(readInteger(kPayload, name), expected) << name;
}

TEST(PayloadReaders, Object) {
  EXPECT_EQ((*readObject(kPayload, "obj"))["a"], 1);
  for (const char* name : {"arr", "null", "s", "missing"}) EXPECT_FALSE(readObject(kPayload, name)) << name;
  EXPECT_FALSE(readString(Json::array({"s"}), "s"));
}

}  // namespace
}  // namespace mirelo

#include "utf8.h"

#include <gtest/gtest.h>

namespace mirelo {
namespace {

TEST(Utf8, ReplacesEachMaximalIllFormedSubpart) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},
      {"é✓\xF0\x9F\x98\x80", "é✓\xF0\x9F\x98\x80"},
      {"a\xFF"
       "b",
       "a" + r + "b"},
      {"\xC0\x80", r + r},  // overlong lead bytes are never valid
      {"\xE2\x82", r},  // truncated at the end: one replacement
      {"\xE2\x82x", r + "x"},  // truncated before ASCII
      {"\xF0\x9F\x98", r},
      {"\xED\xA0\x80", r + r + r},  // surrogate: the second byte is out of range
      {"\xF4\x90\x80\x80", r + r + r + r},  // past U+10FFFF
      {"\x80\x80", r + r},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(isValidUtf8(input), input == expected) << input;
    const std::string out = replaceInvalidUtf8(input);
    EXPECT_EQ(out, expected);
    EXPECT_GE(out.size(), input.size());
    EXPECT_TRUE(isValidUtf8(out));
  }
}

}  // namespace
}  // namespace mirelo

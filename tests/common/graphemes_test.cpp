#include "graphemes.h"

#include <gtest/gtest.h>

#include <string>

namespace mirelo {
namespace {

std::string repeat(const std::string& unit, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += unit;
  return text;
}

// Each unit is one user-perceived character, however many code points it has.
TEST(Graphemes, BoundariesWithMultiCodePointCharacters) {
  const struct {
    const char* name;
    std::string unit;
  } units[] = {
      {"ascii", "a"},
      {"cjk", "房"},
      {"zwj family", "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466"},
      {"zwj profession with skin tone", "\U0001F469\U0001F3FD\u200D\U0001F4BB"},
      {"flag", "\U0001F1E8\U0001F1F3"},
      {"skin tone", "\U0001F44D\U0001F3FD"},
      {"keycap", "1\uFE0F\u20E3"},
      {"combining accents", "e\u0301\u0323"},
      {"hangul jamo", "\u1100\u1161\u11A8"},
      {"crlf", "\r\n"},
  };
  for (const auto& u : units) {
    SCOPED_TRACE(u.name);
    EXPECT_TRUE(atMostGraphemes(repeat(u.unit, 64), 64));
    EXPECT_FALSE(atMostGraphemes(repeat(u.unit, 65), 64));
    EXPECT_TRUE(atMostGraphemes(repeat(u.unit, 128), 128));
    EXPECT_FALSE(atMostGraphemes(repeat(u.unit, 129), 128));
  }
}

TEST(Graphemes, AdjacentFlagsPairUp) {
  // Five regional indicators: two flags and a lone letter.
  EXPECT_TRUE(atMostGraphemes("\U0001F1E8\U0001F1F3\U0001F1EF\U0001F1F5\U0001F1FA", 3));
  EXPECT_FALSE(atMostGraphemes("\U0001F1E8\U0001F1F3\U0001F1EF\U0001F1F5\U0001F1FA", 2));
}

TEST(Graphemes, EmptyAndHugeTexts) {
  EXPECT_TRUE(atMostGraphemes("", 0));
  EXPECT_FALSE(atMostGraphemes("a", 0));
  EXPECT_FALSE(atMostGraphemes(std::string(16 << 20, 'x'), 128));
}

// Counts, exact and stopped: the ASCII pass and ICU agree ("\r\n" is one cluster either way).
TEST(Graphemes, CountsAndStopsPastTheLimit) {
  const struct {
    const char* text;
    size_t count;
  } texts[] = {
      {"", 0},
      {"abc", 3},
      {"a\r\nb", 3},
      {"\r\r\n\n", 3},
      {"e\u0301", 1},
      {"\r\ne\u0301", 2},
      {"\U0001F1E8\U0001F1F3\U0001F1EF", 2},
  };
  for (const auto& t : texts) {
    SCOPED_TRACE(t.text);
    EXPECT_EQ(graphemeCount(t.text), t.count);
    if (t.count > 0) {
      EXPECT_EQ(graphemeCount(t.text, t.count - 1), t.count);
    }
    EXPECT_EQ(graphemeCount(t.text, t.count), t.count);
  }
  EXPECT_EQ(graphemeCount(std::string(1000, 'x'), 64), 65u);
  EXPECT_EQ(graphemeCount(repeat("\u00E9", 1000), 64), 65u);
}

}  // namespace
}  // namespace mirelo

// The endpoint id table and the channels' pending-byte budgets: pure data, no sockets.
#include "endpoints.h"
#include "budget.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace nearby {
namespace {

TEST(Endpoints, BothWaysAndPruning) {
  Endpoints table;
  EXPECT_EQ(table.keyOf("A"), nullptr);
  table.add("k3", "C");
  table.add("k1", "B");
  table.add("k2", "A");
  EXPECT_EQ(*table.keyOf("A"), "k2");
  EXPECT_EQ(*table.idOf("k1"), "B");
  EXPECT_TRUE(table.has("k3"));
  // Removed ids come in the order of their keys, and leave both directions.
  const std::set<std::string> kept = {"k2"};
  EXPECT_EQ(table.keepOnly([&](const std::string& key) { return kept.count(key) > 0; }),
            (std::vector<std::string>{"B", "C"}));
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.keyOf("B"), nullptr);
  EXPECT_FALSE(table.has("k1"));
  EXPECT_EQ(*table.idOf("k2"), "A");
}

TEST(Endpoints, FullAtTheBound) {
  Endpoints table;
  for (size_t i = 0; i + 1 < maxEndpoints; ++i) table.add("key" + std::to_string(i), "id" + std::to_string(i));
  EXPECT_FALSE(table.full());
  table.add("last", "idLast");
  EXPECT_TRUE(table.full());
  table.keepOnly([](const std::string& key) { return key != "last"; });
  EXPECT_FALSE(table.full());
}

// 2 MiB per channel and 16 MiB in all, each bound inclusive.
TEST(PendingBudget, PerChannelAndTotal) {
  constexpr int64_t MiB = 1 << 20;
  const struct {
    const char* name;
    int64_t total, channel, bytes;
    bool fits;
  } cases[] = {
      {"empty", 0, 0, 1, true},
      {"channel exactly full", 0, 0, 2 * MiB, true},
      {"channel one over", 0, 2 * MiB - 10, 11, false},
      {"total exactly full", 14 * MiB, 0, 2 * MiB, true},
      {"total one over", 16 * MiB - 5, 0, 6, false},
      {"both have room", 15 * MiB, MiB, MiB, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PendingBudget budget;
    budget.take(c.total);
    EXPECT_EQ(budget.fits(c.channel, c.bytes), c.fits);
  }
  PendingBudget budget;
  budget.take(16 * MiB);
  EXPECT_FALSE(budget.fits(0, 1));
  budget.give(MiB);
  EXPECT_TRUE(budget.fits(0, MiB));
  EXPECT_EQ(budget.total(), 15 * MiB);
}

}  // namespace
}  // namespace nearby

// The main queue's bound: an item past it is held, not refused and not blocking its pusher, joins
// in its turn once the main thread has made room, and only then is the pusher told to go on.
#include "bridge/main_queue.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mirelo::services {
namespace {

void runPending() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

TEST(MainQueue, ItemPastTheBoundIsHeldUntilThereIsRoom) {
  MainQueue queue(100);
  queue.attach();
  std::vector<std::string> ran;
  int resumed = 0;
  const auto item = [&](const std::string& name) { return [&ran, name] { ran.push_back(name); }; };

  EXPECT_TRUE(queue.push(item("a"), 60));
  EXPECT_TRUE(queue.push(item("b"), 40));  // exactly at the bound
  EXPECT_FALSE(queue.push(item("c"), 10, [&] { ++resumed; }));  // returns at once: held
  EXPECT_FALSE(queue.idle());
  EXPECT_EQ(resumed, 0);

  runPending();
  EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(resumed, 1);  // once, after "c" joined, before the pusher pushes again
  EXPECT_TRUE(queue.idle());

  // The only item is never refused, whatever its weight; the next one waits for it.
  EXPECT_TRUE(queue.push(item("huge"), 1000));
  EXPECT_FALSE(queue.push(item("d"), 1, [&] { ++resumed; }));
  runPending();
  EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "c", "huge", "d"}));
  EXPECT_EQ(resumed, 2);
}

TEST(MainQueue, ResumeRunsOnlyWhenTheHeldItemFits) {
  MainQueue queue(100);
  queue.attach();
  std::vector<int> ran;
  int resumed = 0;
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(queue.push([&ran, i] { ran.push_back(i); }, 25));
  ASSERT_FALSE(queue.push([&ran] { ran.push_back(99); }, 60, [&] { ++resumed; }));
  // Draining runs the four, making room one at a time; 60 fits once three have run.
  runPending();
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 99}));
  EXPECT_EQ(resumed, 1);
  EXPECT_TRUE(queue.idle());
}

}  // namespace
}  // namespace mirelo::services

// The browse side's decisions without a daemon: which TXT records are reportable, and the
// resolver schedule's bound, order and back-off (real timers on an io_context).
#include "resolve_schedule.h"
#include "txt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace nearby {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

TEST(ReadTxt, TakesTheFourValuesByKey) {
  struct Case {
    const char* what;
    std::vector<std::string> strings;
    std::optional<TxtValues> expected;
  };
  const std::string max(128, 'x');
  const Case cases[] = {
      {"plain", {"v=1", "r=2", "p=3", "m=4"}, TxtValues{"1", "2", "3", "4"}},
      {"any order, other keys dropped", {"x=9", "m=4", "vv=8", "p=3", "r=2", "v=1"}, TxtValues{"1", "2", "3", "4"}},
      {"keys in upper case", {"V=1", "R=2", "P=3", "M=4"}, TxtValues{"1", "2", "3", "4"}},
      {"the first of a repeated key", {"v=first", "V=second", "r=2", "p=3", "m=4"}, TxtValues{"first", "2", "3", "4"}},
      {"empty values, and a key alone", {"v=", "r", "p=3", "m=4"}, TxtValues{"", "", "3", "4"}},
      {"'=' and NUL inside values", {"v=a=b", "r=\0x\0"s, "p=3", "m=4"}, TxtValues{"a=b", "\0x\0"s, "3", "4"}},
      {"128 bytes", {"v=1", "r=" + max, "p=3", "m=4"}, TxtValues{"1", max, "3", "4"}},
      {"129 bytes", {"v=1", "r=" + max + "x", "p=3", "m=4"}, std::nullopt},
      {"no p", {"v=1", "r=2", "m=4"}, std::nullopt},
      {"not UTF-8", {"v=1", "r=\xc3", "p=3", "m=4"}, std::nullopt},
      {"empty record", {}, std::nullopt},
      {"an empty string", {"", "v=1", "r=2", "p=3", "m=4"}, TxtValues{"1", "2", "3", "4"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string_view> views(c.strings.begin(), c.strings.end());
    EXPECT_EQ(readTxt(views), c.expected) << c.what;
  }
}

// A schedule whose resolvers are recorded; each key's outcome is set by the test.
struct Fixture {
  boost::asio::io_context queue;
  std::vector<std::string> opened;
  std::vector<std::chrono::steady_clock::time_point> when;  // of each open
  std::map<std::string, ResolveSchedule::Opened> outcome;  // default: Yes
  ResolveSchedule schedule{queue, 4, [this](const std::string& key) {
                             opened.push_back(key);
                             when.push_back(std::chrono::steady_clock::now());
                             auto it = outcome.find(key);
                             return it == outcome.end() ? ResolveSchedule::Opened::Yes : it->second;
                           }};

  // Runs the queue until `done` holds, for at most `limit`.
  template <typename Done>
  bool runUntil(Done done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      queue.restart();
      queue.run_for(10ms);
    }
    return done();
  }
};

TEST(ResolveSchedule, BoundsOpenResolversAndServesTheNewestFirst) {
  Fixture f;
  for (int n = 0; n < 100; ++n) f.schedule.want("k" + std::to_string(n));
  EXPECT_EQ(f.opened, (std::vector<std::string>{"k0", "k1", "k2", "k3"}));
  EXPECT_EQ(f.schedule.active(), 4u);
  EXPECT_EQ(f.schedule.waiting(), 96u);
  // A newcomer goes ahead of those waiting; each settled one frees one slot.
  f.schedule.want("peer");
  f.schedule.settled("k0");
  EXPECT_EQ(f.opened.back(), "peer");
  f.schedule.settled("k1");
  EXPECT_EQ(f.opened.back(), "k99");
  // Wanting one that is open or waiting again changes nothing; settling one without a slot neither.
  f.schedule.want("peer");
  f.schedule.settled("unknown");
  EXPECT_EQ(f.opened.size(), 6u);
  EXPECT_EQ(f.schedule.active(), 4u);
  // A forgotten one gives up its slot or its place.
  f.schedule.forget("k98");
  f.schedule.forget("peer");
  EXPECT_EQ(f.opened.back(), "k97");
  EXPECT_EQ(f.schedule.waiting(), 93u);
  EXPECT_EQ(f.schedule.active(), 4u);
}

TEST(ResolveSchedule, RetriesAFailureWithBackoffBehindFreshOnes) {
  Fixture f;
  f.outcome["refused"] = ResolveSchedule::Opened::Failed;
  f.outcome["gone"] = ResolveSchedule::Opened::Gone;
  f.schedule.want("gone");
  f.schedule.want("refused");
  EXPECT_EQ(f.schedule.active(), 0u);
  EXPECT_EQ(f.schedule.backingOff(), 1u);  // the gone one is dropped, the refused one waits
  auto opens = [&] { return std::count(f.opened.begin(), f.opened.end(), "refused"); };
  ASSERT_TRUE(f.runUntil([&] { return opens() == 3; }));
  ASSERT_EQ(f.when.size(), 4u);  // gone, refused three times
  EXPECT_GE(f.when[2] - f.when[1], ResolveSchedule::firstBackoff);
  EXPECT_GE(f.when[3] - f.when[2], 2 * ResolveSchedule::firstBackoff);  // doubled
  EXPECT_EQ(std::count(f.opened.begin(), f.opened.end(), "gone"), 1);

  f.schedule.forget("refused");

  // Opened, but failing later: the slot is free at once, the retry waits its back-off and then
  // queues behind the fresh ones.
  for (const char* key : {"a", "b", "c", "late"}) f.schedule.want(key);
  f.schedule.failed("late");
  for (const char* key : {"d", "e"}) f.schedule.want(key);
  EXPECT_EQ(f.opened.back(), "d");
  ASSERT_TRUE(f.runUntil([&] { return f.schedule.waiting() == 2; }));  // e, then the retry
  f.schedule.settled("a");
  EXPECT_EQ(f.opened.back(), "e");
  f.schedule.settled("b");
  EXPECT_EQ(f.opened.back(), "late");
}

TEST(ResolveSchedule, ForgetAndClearStopRetries) {
  Fixture f;
  f.outcome["x"] = ResolveSchedule::Opened::Failed;
  f.outcome["y"] = ResolveSchedule::Opened::Failed;
  f.schedule.want("x");
  f.schedule.want("y");
  f.schedule.forget("x");
  EXPECT_EQ(f.schedule.backingOff(), 1u);
  f.schedule.clear();
  EXPECT_EQ(f.schedule.backingOff(), 0u);
  f.queue.restart();
  f.queue.run_for(1500ms);
  EXPECT_EQ(f.opened, (std::vector<std::string>{"x", "y"}));
}

// The schedule may go while a retry is due (the window closes): nothing runs after it.
TEST(ResolveSchedule, DestroyedWithARetryDue) {
  boost::asio::io_context queue;
  int opens = 0;
  {
    ResolveSchedule schedule(queue, 1, [&](const std::string&) {
      ++opens;
      return ResolveSchedule::Opened::Failed;
    });
    schedule.want("x");
  }
  queue.run_for(1500ms);
  EXPECT_EQ(opens, 1);
}

}  // namespace
}  // namespace nearby

// The notification centre's bookkeeping against a link that records what would go to the server:
// the Notify bound, late answers, a server that reuses ids, deadlines of requests never sent.
#include "platform/notification_centre_records.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mirelo::services::platform {
namespace {

struct FakeLink : NotificationRecords::Link {
  std::vector<std::pair<std::string, uint32_t>> sent;  // (identifier, replacesId)
  std::vector<uint32_t> closed;
  std::map<uint64_t, std::string> armed;  // request → identifier

  void sendNotify(const std::string& identifier, uint32_t replacesId) override {
    sent.emplace_back(identifier, replacesId);
  }
  void close(uint32_t id) override { closed.push_back(id); }
  uintptr_t armDeadline(const std::string& identifier, uint64_t request) override {
    armed[request] = identifier;
    return request;
  }
  void cancelDeadline(uintptr_t deadline) override { armed.erase(deadline); }
};

struct Fixture {
  FakeLink link;
  NotificationRecords records{link};
  std::map<std::string, std::vector<std::optional<std::string>>> answers;  // by identifier

  void add(const std::string& identifier) {
    records.add({identifier, "room", identifier}, [this, identifier](std::optional<std::string> error) {
      answers[identifier].push_back(std::move(error));
    });
  }
  // Every armed deadline of `identifier` passes.
  void expire(const std::string& identifier) {
    auto armed = link.armed;
    for (const auto& [request, owner] : armed) {
      if (owner != identifier) continue;
      link.armed.erase(request);
      records.expired(owner, request);
    }
  }
};

const std::optional<std::string> kOk;
const std::optional<std::string> kTimeout{kTimedOut};

TEST(NotificationRecords, AtMostABoundedNumberOfNotifyCallsOut) {
  Fixture f;
  const size_t count = kMaxNotifyInFlight * 3;
  for (size_t i = 0; i < count; ++i) f.add("n" + std::to_string(i));
  ASSERT_EQ(f.link.sent.size(), kMaxNotifyInFlight);
  // Each answer lets the next one out, in the order they were handed over.
  for (uint32_t answered = 0; answered < count; ++answered) {
    ASSERT_LE(f.records.inFlight(), kMaxNotifyInFlight);
    f.records.notified(f.link.sent[answered].first, answered + 1, std::nullopt);
  }
  ASSERT_EQ(f.link.sent.size(), count);
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(f.link.sent[i].first, "n" + std::to_string(i));
    EXPECT_EQ(f.answers["n" + std::to_string(i)], std::vector{kOk});
  }
  EXPECT_EQ(f.records.inFlight(), 0u);
  EXPECT_TRUE(f.link.armed.empty());
}

TEST(NotificationRecords, AReusedIdReplacesTheRecordThatHadIt) {
  Fixture f;
  for (int i = 0; i < 1000; ++i) {
    const std::string identifier = "n" + std::to_string(i);
    f.add(identifier);
    f.records.notified(identifier, 1, std::nullopt);
  }
  EXPECT_EQ(f.records.records(), 1u);
  ASSERT_TRUE(f.records.shown(1));
  EXPECT_EQ(f.records.shown(1)->identifier, "n999");
  EXPECT_TRUE(f.link.closed.empty());  // the server closed them itself
  f.records.closeAllShown();
  EXPECT_EQ(f.link.closed, std::vector<uint32_t>{1});
  EXPECT_EQ(f.records.records(), 0u);
}

// An answer that comes after every request it answers has failed.
TEST(NotificationRecords, LateAnswers) {
  struct Case {
    const char* name;
    bool shownBefore;  // an earlier notify of the identifier succeeded (shown as 5)
    uint32_t lateId;
    std::vector<uint32_t> closed;
    std::optional<uint32_t> shownAfter;
  } cases[] = {
      {"a new notification: closed at once", false, 7, {7}, std::nullopt},
      {"stands in for the one shown: kept", true, 5, {}, 5},
      {"a new id although 5 was to be replaced: 5 closed, the new one kept", true, 7, {5}, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    if (c.shownBefore) {
      f.add("a");
      f.records.notified("a", 5, std::nullopt);
      f.answers.clear();
    }
    f.add("a");
    f.expire("a");
    EXPECT_EQ(f.answers["a"], std::vector{kTimeout});
    f.records.notified("a", c.lateId, std::nullopt);
    EXPECT_EQ(f.answers["a"], std::vector{kTimeout});  // answered once
    EXPECT_EQ(f.link.closed, c.closed);
    if (c.shownAfter) {
      ASSERT_TRUE(f.records.shown(*c.shownAfter));
      EXPECT_EQ(f.records.shown(*c.shownAfter)->identifier, "a");
    } else {
      EXPECT_EQ(f.records.records(), 0u);
    }
    EXPECT_EQ(f.records.inFlight(), 0u);
  }
}

TEST(NotificationRecords, ALateAnswerLetsTheRequestsBehindItGo) {
  Fixture f;
  f.add("a");
  f.expire("a");
  f.add("a");  // waits for the id of the Notify out
  ASSERT_EQ(f.link.sent.size(), 1u);
  f.records.notified("a", 7, std::nullopt);
  EXPECT_EQ(f.link.closed, std::vector<uint32_t>{7});
  ASSERT_EQ(f.link.sent.size(), 2u);
  EXPECT_EQ(f.link.sent[1], std::make_pair(std::string("a"), 0u));  // 7 is gone: nothing to replace
  f.records.notified("a", 8, std::nullopt);
  EXPECT_EQ(f.answers["a"], (std::vector{kTimeout, kOk}));
}

TEST(NotificationRecords, RequestsWaitingForASlotHaveTheirOwnDeadline) {
  Fixture f;
  for (size_t i = 0; i < kMaxNotifyInFlight; ++i) f.add("busy" + std::to_string(i));
  f.add("queued");
  f.expire("queued");
  EXPECT_EQ(f.answers["queued"], std::vector{kTimeout});
  for (size_t i = 0; i < kMaxNotifyInFlight; ++i) f.records.notified("busy" + std::to_string(i), i + 1, std::nullopt);
  EXPECT_EQ(f.link.sent.size(), kMaxNotifyInFlight);  // it was never sent
  EXPECT_FALSE(f.records.shown(kMaxNotifyInFlight + 1));
}

TEST(NotificationRecords, RemovedWhileOutIsClosedWhenShown) {
  for (bool all : {false, true}) {
    SCOPED_TRACE(all ? "all" : "one");
    Fixture f;
    f.add("a");
    all ? f.records.withdrawAll() : f.records.withdraw("a");
    EXPECT_EQ(f.records.list().size(), 1u);  // still out
    f.records.notified("a", 3, std::nullopt);
    EXPECT_EQ(f.link.closed, std::vector<uint32_t>{3});
    EXPECT_EQ(f.answers["a"], std::vector{kOk});  // it was handed over
    EXPECT_EQ(f.records.records(), 0u);
  }
}

TEST(NotificationRecords, ServerErrorsAnswerEveryRequestOfTheCall) {
  Fixture f;
  f.add("a");
  f.records.notified("a", std::nullopt, "screen full");
  EXPECT_EQ(f.answers["a"], std::vector<std::optional<std::string>>{"screen full"});
  EXPECT_EQ(f.records.records(), 0u);
  EXPECT_TRUE(f.link.armed.empty());
}

}  // namespace
}  // namespace mirelo::services::platform

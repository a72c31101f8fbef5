// The desktop commands' own logic over fake seams: one assertion at most, the order of the legacy
// service names and when the lookup stops, and the secret's buffers.
#include "bridge/desktop.h"

#include <gtest/gtest.h>

#include <vector>

#include "../support/error_of.h"
#include "../support/fakes/keychain.h"
#include "../support/fakes/power.h"

namespace mirelo::services {
namespace {

using testing::errorOf;
using testing::FakeKeychain;
using testing::FakePower;
using Status = platform::Keychain::Status;

TEST(BackgroundActivity, OneAssertionTakenAndReleased) {
  FakePower power;
  uint32_t held = 0;
  struct Step {
    Json payload;
    bool reply;
    uint32_t created, releasedCount;
  };
  const std::vector<Step> steps = {
      {{{"enabled", false}}, false, 0, 0},  // nothing held: nothing called
      {{{"enabled", true}}, true, 1, 0},    {{{"enabled", 1}}, true, 1, 0},  // already held: no second one
      {{{"enabled", false}}, false, 1, 1},  {{{"enabled", true}}, true, 2, 1},
      {{{"enabled", "true"}}, false, 2, 2},  // not a Boolean: absent, so released
      {{{"enabled", true}}, true, 3, 2},    {Json::object(), false, 3, 3},
      {{{"enabled", 0}}, false, 3, 3},
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(backgroundActivity(power, held, steps[i].payload), Json(steps[i].reply));
    EXPECT_EQ(power.created, steps[i].created);
    EXPECT_EQ(power.released.size(), steps[i].releasedCount);
    EXPECT_EQ(held != 0, steps[i].reply);
  }
  EXPECT_EQ(power.released, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(power.names.front(), "Mirelo保持加密房间连接");
}

TEST(BackgroundActivity, RefusedLeavesNothingHeld) {
  FakePower power;
  power.refuse = true;
  uint32_t held = 0;
  EXPECT_EQ(errorOf([&] { backgroundActivity(power, held, {{"enabled", true}}); }), "后台连接保活暂不可用");
  EXPECT_EQ(held, 0u);
  EXPECT_EQ(backgroundActivity(power, held, {{"enabled", false}}), Json(false));
  EXPECT_TRUE(power.released.empty());
  power.refuse = false;
  EXPECT_EQ(backgroundActivity(power, held, {{"enabled", true}}), Json(true));
  EXPECT_NE(held, 0u);
}

TEST(LegacyPassword, ServiceNamesInOrderUntilOneAnswers) {
  const std::vector<std::string> names = {"Mirelo Safe Storage", "solvantio-mac Safe Storage", "Solvantio Safe Storage",
                                          "Electron Safe Storage"};
  struct Case {
    std::map<std::string, Status> answers;
    std::string result;  // the data, or the error
    size_t asked;
  };
  const std::vector<Case> cases = {
      {{}, "没有找到旧版记录所需的钥匙串项目", 4},
      {{{names[1], Status::found}}, "data of " + names[1], 2},
      {{{names[0], Status::found}, {names[1], Status::found}}, "data of " + names[0], 1},
      {{{names[0], Status::noData}, {names[2], Status::found}}, "data of " + names[2], 3},
      {{{names[0], Status::cancelled}, {names[1], Status::found}}, "未完成钥匙串授权，旧记录未改动", 1},
      {{{names[1], Status::authenticationFailed}, {names[2], Status::found}}, "未完成钥匙串授权，旧记录未改动", 2},
      {{{names[0], Status::noData}, {names[1], Status::noData}, {names[2], Status::notFound}},
       "没有找到旧版记录所需的钥匙串项目",
       4},
      // A keychain that failed or left: no later name is trusted, and the lookup ends as found nothing.
      {{{names[0], Status::unavailable}, {names[1], Status::found}}, "没有找到旧版记录所需的钥匙串项目", 1},
      {{{names[0], Status::notFound}, {names[1], Status::unavailable}, {names[2], Status::found}},
       "没有找到旧版记录所需的钥匙串项目",
       2},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    FakeKeychain keychain;
    keychain.answers = cases[i].answers;
    std::string result;
    const std::string error = errorOf([&] { result = std::string(findLegacyPassword(keychain).view()); });
    EXPECT_EQ(error.empty() ? result : error, cases[i].result);
    EXPECT_EQ(keychain.asked, std::vector<std::string>(names.begin(), names.begin() + cases[i].asked));
    // One deadline for the whole lookup, some seconds ahead.
    for (const auto& deadline : keychain.deadlines) EXPECT_EQ(deadline, keychain.deadlines.front());
    EXPECT_GT(keychain.deadlines.front(), std::chrono::steady_clock::now() + std::chrono::seconds(5));
  }
}

TEST(LegacyPassword, ReplyLineCarriesBase64) {
  FakeKeychain keychain;
  keychain.answers["Solvantio Safe Storage"] = Status::found;
  ::testing::internal::CaptureStdout();
  legacyPassword(keychain, Reply("a\"b/\xe6\x88\xbf"));
  const std::string line = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(line, "{\"id\":\"a\\\"b\\/\xe6\x88\xbf\",\"value\":\"ZGF0YSBvZiBTb2x2YW50aW8gU2FmZSBTdG9yYWdl\"}\n");
}

TEST(SecretBytes, StorageZeroedWhenMovedAndDestroyed) {
  for (const std::string& text : {std::string("short"), std::string(100, 's')}) {
    SCOPED_TRACE(text.size());
    platform::SecretBytes source(text.data(), text.size());
    const char* inside = source.view().data();
    platform::SecretBytes moved(std::move(source));
    EXPECT_EQ(moved.view(), text);
    EXPECT_TRUE(source.view().empty());  // NOLINT(bugprone-use-after-move): the moved-from state is tested
    if (inside != moved.view().data()) {  // copied out of the small buffer, which must be blank now
      for (size_t i = 0; i < text.size(); ++i) EXPECT_EQ(inside[i], '\0');
    }
  }
  std::string text = "a secret that lives on the heap, long enough";
  const size_t capacity = text.capacity();
  platform::wipe(text);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(text.capacity(), capacity);
  for (size_t i = 0; i < capacity; ++i) EXPECT_EQ(text.data()[i], '\0');
}

}  // namespace
}  // namespace mirelo::services

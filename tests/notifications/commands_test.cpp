// The notification commands' logic over a fake centre: what each command asks of the centre and the
// lines it writes, for leave refused, a post overtaken by a clear, each form of clear, and a click.
#include "notifications/commands.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../support/error_of.h"
#include "../support/fakes/notification_centre.h"

namespace mirelo::services::notifications {
namespace {

using platform::NotificationRequest;
using testing::errorOf;
using testing::FakeNotificationCentre;

// Standard output goes to a pipe while the fixture lives; `take` reads the lines written so far.
class Notifications : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    read_ = fds[0];
  }
  void TearDown() override {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    ::close(read_);
  }

  std::string take() {
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(read_, buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
    return out;
  }

  void notify(const std::string& room, const std::string& messageId, const std::string& id = "n") {
    notifications::notify(centre, generations, {{"room", room}, {"messageId", messageId}}, Reply(id));
  }
  void clear(const Json& payload, const std::string& id = "c") {
    notificationsClear(centre, generations, payload, Reply(id));
  }

  FakeNotificationCentre centre;
  NotificationGenerations generations;

 private:
  int saved_ = -1;
  int read_ = -1;
};

TEST_F(Notifications, StatusSaysWhetherNotificationsAreDenied) {
  for (bool denied : {true, false}) {
    notificationStatus(centre, generations, Json::object(), Reply("s"));
    EXPECT_EQ(take(), "");
    centre.answerStatus(denied);
    EXPECT_EQ(take(), denied ? "{\"id\":\"s\",\"value\":{\"status\":\"denied\",\"supported\":true}}\n"
                             : "{\"id\":\"s\",\"value\":{\"status\":\"idle\",\"supported\":true}}\n");
  }
}

TEST_F(Notifications, PostedUnderTheHostsIdentifierAndAnsweredAsTheCentreSays) {
  struct Case {
    const char* name;
    std::optional<std::string> serverError;  // after leave is given
    bool denied;
    std::string line;
  } cases[] = {
      {"shown", std::nullopt, false, "{\"id\":\"n\",\"value\":true}\n"},
      {"leave refused", std::nullopt, true, "{\"error\":\"系统通知未授权\",\"id\":\"n\"}\n"},
      {"the server's own error", "screen full", false, "{\"error\":\"screen full\",\"id\":\"n\"}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    notify("房间-1", "m-2");
    ASSERT_EQ(centre.posts.size(), 1u);
    const NotificationRequest& request = centre.posts.front().request;
    EXPECT_EQ(request.identifier, "mirelo-房间-1-m-2");
    EXPECT_EQ(request.room, "房间-1");
    EXPECT_EQ(request.messageId, "m-2");
    EXPECT_EQ(take(), "");  // nothing before the centre answers
    c.denied ? centre.deny() : void(centre.grant(c.serverError));
    EXPECT_EQ(take(), c.line);
  }
}

TEST_F(Notifications, RefusedIdentifiersNeverReachTheCentre) {
  const Json payloads[] = {Json::object(),
                           {{"room", "r"}},
                           {{"room", 1}, {"messageId", "m"}},
                           {{"room", std::string(129, 'r')}, {"messageId", "m"}},
                           {{"room", "r"}, {"messageId", std::string(65, 'm')}}};
  for (const auto& payload : payloads) {
    const Reply reply("n");
    EXPECT_EQ(errorOf([&] { notifications::notify(centre, generations, payload, reply); }), "通知标识无效");
    reply.fail(failure("通知标识无效"));  // as the dispatcher answers a thrown error
  }
  EXPECT_TRUE(centre.posts.empty());
  take();
}

// A clear that comes between the post and the centre's leave decides whether it is still shown.
TEST_F(Notifications, OvertakenByAClearShowsNothing) {
  struct Case {
    Json clear;
    bool shown;
  } cases[] = {
      {{{"room", "A"}, {"messageId", "1"}}, false},
      {{{"room", "A"}}, false},
      {Json::object(), false},
      {{{"room", "B"}}, true},
      {{{"room", "A"}, {"messageId", "2"}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.clear.dump());
    notify("A", "1");
    clear(c.clear);
    if (c.clear.contains("room") && !c.clear.contains("messageId")) centre.answerList({});
    ASSERT_EQ(take(), "{\"id\":\"c\",\"value\":true}\n");
    EXPECT_EQ(centre.grant(), c.shown);
    EXPECT_EQ(take(), c.shown ? "{\"id\":\"n\",\"value\":true}\n" : "{\"id\":\"n\",\"value\":false}\n");
  }
  EXPECT_EQ(centre.handedOver.size(), 2u);
}

TEST_F(Notifications, EachClearWithdrawsItsNotifications) {
  // One message: its identifier, at once.
  clear({{"room", "A"}, {"messageId", "1"}});
  EXPECT_EQ(take(), "{\"id\":\"c\",\"value\":true}\n");
  EXPECT_EQ(centre.withdrawn, std::vector<std::string>{"mirelo-A-1"});
  // Everything, at once; a room that is not a string counts as none.
  for (const Json& all : {Json::object(), Json{{"messageId", "1"}}, Json{{"room", 5}, {"messageId", "1"}}}) {
    clear(all);
    EXPECT_EQ(take(), "{\"id\":\"c\",\"value\":true}\n");
  }
  EXPECT_EQ(centre.withdrawnAll, 3);
  // A room: the notifications whose user info names it, once the centre has listed them; an
  // identifier that merely starts like the room's is another room's.
  centre.withdrawn.clear();
  clear({{"room", "A"}});
  EXPECT_EQ(take(), "");
  centre.answerList(
      {{"mirelo-A-1", "A", "1"}, {"mirelo-A-x-1", "A-x", "1"}, {"mirelo-A-x-1", "A", "x-1"}, {"mirelo-B-1", "B", "1"}});
  EXPECT_EQ(take(), "{\"id\":\"c\",\"value\":true}\n");
  EXPECT_EQ(centre.withdrawn, (std::vector<std::string>{"mirelo-A-1", "mirelo-A-x-1"}));
  EXPECT_EQ(centre.withdrawnAll, 3);
}

TEST_F(Notifications, AClickBecomesAnEvent) {
  hookUp(centre);
  ASSERT_TRUE(centre.hookedUp());
  centre.click({"mirelo-房-1", "房", "1"});
  EXPECT_EQ(take(), "{\"event\":\"notification-activate\",\"messageId\":\"1\",\"room\":\"房\"}\n");
  EXPECT_TRUE(centre.withdrawn.empty());  // the centre closes what was clicked itself
}

TEST_F(Notifications, TheProcessEndClosesWhatIsShownWithABound) {
  closeShownBeforeExit(centre);
  EXPECT_EQ(centre.exitBounds, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(1000)});
  EXPECT_EQ(centre.withdrawnAll, 0);
}

}  // namespace
}  // namespace mirelo::services::notifications

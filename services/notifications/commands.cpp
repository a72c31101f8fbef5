#include "commands.h"

#include <chrono>

#include "graphemes.h"
#include "payload.h"
#include "protocol/output.h"

namespace mirelo::services::notifications {
namespace {

constexpr size_t kMaxRoomCharacters = 128;
constexpr size_t kMaxMessageIdCharacters = 64;
// Enough for the close requests to leave; a stalled session bus must not keep the process alive.
constexpr std::chrono::milliseconds kExitFlushBound{1000};

std::string requestIdentifier(const std::string& room, const std::string& messageId) {
  return "mirelo-" + room + "-" + messageId;
}

}  // namespace

NotificationGenerations& processGenerations() {
  static NotificationGenerations* const generations = new NotificationGenerations;
  return *generations;
}

void notificationStatus(platform::NotificationCentre& centre, NotificationGenerations&, const Json&,
                        const Reply& reply) {
  centre.status([reply](bool denied) {
    Json value = Json::object();
    value["supported"] = true;
    value["status"] = denied ? "denied" : "idle";
    reply.succeed(std::move(value));
  });
}

void notify(platform::NotificationCentre& centre, NotificationGenerations& generations, const Json& payload,
            const Reply& reply) {
  const std::string* room = readString(payload, "room");
  const std::string* messageId = readString(payload, "messageId");
  if (!room || !messageId || !atMostGraphemes(*room, kMaxRoomCharacters) ||
      !atMostGraphemes(*messageId, kMaxMessageIdCharacters)) {
    throw failure("通知标识无效");
  }
  NotificationToken token;
  {
    std::lock_guard lock(generations.notificationGenerationLock);
    token = notificationToken(generations, *room, *messageId);
  }
  // Asked once leave is given; the centre hands the notification over before any clear that
  // finds the token unchanged can reach it, so a clear either overtakes it or takes it away.
  const auto stillWanted = [&generations, room = *room, messageId = *messageId, token] {
    std::lock_guard lock(generations.notificationGenerationLock);
    return notificationToken(generations, room, messageId) == token;
  };
  centre.post({requestIdentifier(*room, *messageId), *room, *messageId}, stillWanted, [reply](platform::Posted posted) {
    switch (posted.outcome) {
      case platform::Posted::Outcome::handedOver: return reply.succeed(true);
      case platform::Posted::Outcome::declined: return reply.succeed(false);  // overtaken by a clear: nothing shown
      case platform::Posted::Outcome::denied: return reply.fail(failure("系统通知未授权"));
      case platform::Posted::Outcome::failed: return reply.fail(platformError(std::move(posted.error)));
    }
  });
}

void notificationsClear(platform::NotificationCentre& centre, NotificationGenerations& generations, const Json& payload,
                        const Reply& reply) {
  const std::string* room = readString(payload, "room");
  const std::string* messageId = readString(payload, "messageId");
  std::unique_lock lock(generations.notificationGenerationLock);
  invalidateNotifications(generations, room, messageId);
  if (!room) {
    centre.withdrawAll();
    lock.unlock();
    return reply.succeed(true);
  }
  if (messageId) {
    centre.withdraw({requestIdentifier(*room, *messageId)});
    lock.unlock();
    return reply.succeed(true);
  }
  lock.unlock();
  // Every notification whose user info names the room; the reply waits for the lookup.
  centre.list([&centre, room = *room, reply](const std::vector<platform::NotificationRequest>& requests) {
    std::vector<std::string> identifiers;
    for (const auto& request : requests) {
      if (request.room == room) identifiers.push_back(request.identifier);
    }
    centre.withdraw(std::move(identifiers));
    reply.succeed(true);
  });
}

void hookUp(platform::NotificationCentre& centre) {
  centre.onActivated([](const platform::NotificationRequest& clicked) {
    Json event = Json::object();
    event["event"] = "notification-activate";
    event["room"] = clicked.room;
    event["messageId"] = clicked.messageId;
    emit(event);
  });
}

void closeShownBeforeExit(platform::NotificationCentre& centre) { centre.closeShownBeforeExit(kExitFlushBound); }

}  // namespace mirelo::services::notifications

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

void notificationStatus(platform::NotificationCentre& centre, NotificationGenerations&, const Json&, Reply reply) {
  centre.settings([reply](bool denied) {
    Json value = Json::object();
    value["supported"] = true;
    value["status"] = denied ? "denied" : "idle";
    reply.succeed(std::move(value));
  });
}

void notify(platform::NotificationCentre& centre, NotificationGenerations& generations, const Json& payload,
            Reply reply) {
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
  centre.requestAuthorization([&centre, &generations, room = *room, messageId = *messageId, token, reply](bool granted) {
    if (!granted) return reply.fail(failure("系统通知未授权"));
    {
      // Comparing and handing over are one step with respect to clears.
      std::unique_lock lock(generations.notificationGenerationLock);
      if (notificationToken(generations, room, messageId) != token) {
        lock.unlock();
        return reply.succeed(false);  // overtaken by a clear: nothing is shown
      }
      centre.add({requestIdentifier(room, messageId), room, messageId}, [reply](std::optional<std::string> error) {
        if (error) return reply.fail(platformError(std::move(*error)));
        reply.succeed(true);
      });
    }
  });
}

void notificationsClear(platform::NotificationCentre& centre, NotificationGenerations& generations,
                        const Json& payload, Reply reply) {
  const std::string* room = readString(payload, "room");
  const std::string* messageId = readString(payload, "messageId");
  std::unique_lock lock(generations.notificationGenerationLock);
  invalidateNotifications(generations, room, messageId);
  if (!room) {
    centre.removeAllPending();
    centre.removeAllDelivered();
    lock.unlock();
    return reply.succeed(true);
  }
  if (messageId) {
    const std::string identifier = requestIdentifier(*room, *messageId);
    centre.removePending({identifier});
    centre.removeDelivered({identifier});
    lock.unlock();
    return reply.succeed(true);
  }
  lock.unlock();
  // Every notification whose user info names the room; the reply waits for the delivered ones.
  const auto ofRoom = [room = *room](const std::vector<platform::NotificationRequest>& requests) {
    std::vector<std::string> identifiers;
    for (const auto& request : requests) {
      if (request.room == room) identifiers.push_back(request.identifier);
    }
    return identifiers;
  };
  centre.pending([&centre, ofRoom](std::vector<platform::NotificationRequest> requests) {
    centre.removePending(ofRoom(requests));
  });
  centre.delivered([&centre, ofRoom, reply](std::vector<platform::NotificationRequest> requests) {
    centre.removeDelivered(ofRoom(requests));
    reply.succeed(true);
  });
}

void hookUp(platform::NotificationCentre& centre) {
  centre.setDelegate([&centre](const platform::NotificationRequest& clicked) {
    Json event = Json::object();
    event["event"] = "notification-activate";
    event["room"] = clicked.room;
    event["messageId"] = clicked.messageId;
    emit(event);
    centre.removeDelivered({clicked.identifier});
  });
}

void removeAllDeliveredBeforeExit(platform::NotificationCentre& centre) {
  centre.removeAllDelivered();
  centre.flush(kExitFlushBound);
}

}  // namespace mirelo::services::notifications

#include "generations.h"

namespace mirelo::services::notifications {
namespace {

std::string messageKey(const std::string& room, const std::string& messageId) {
  std::string key;
  key.reserve(room.size() + 1 + messageId.size());
  key.append(room).push_back('\0');
  key.append(messageId);
  return key;
}

uint64_t counter(const std::unordered_map<std::string, uint64_t>& map, const std::string& key) {
  const auto it = map.find(key);
  return it == map.end() ? 0 : it->second;
}

void advanceEpoch(NotificationGenerations& state) {
  ++state.notificationGeneration;
  state.notificationRoomGenerations.clear();
  state.notificationMessageGenerations.clear();
}

}  // namespace

NotificationToken notificationToken(const NotificationGenerations& state, const std::string& room,
                                    const std::string& messageId) {
  return {state.notificationGeneration, counter(state.notificationRoomGenerations, room),
          counter(state.notificationMessageGenerations, messageKey(room, messageId))};
}

void invalidateNotifications(NotificationGenerations& state, const std::string* room, const std::string* messageId) {
  if (state.notificationMessageGenerations.size() > kMaxMessageGenerations ||
      state.notificationRoomGenerations.size() > kMaxRoomGenerations) {
    advanceEpoch(state);
  }
  if (!room) return advanceEpoch(state);
  if (messageId) {
    ++state.notificationMessageGenerations[messageKey(*room, *messageId)];
  } else {
    ++state.notificationRoomGenerations[*room];
  }
}

}  // namespace mirelo::services::notifications

#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace mirelo::services::notifications {

// The generation counters that stop a notification overtaken by a clear: a `notify` takes the
// token of its pair before asking for permission and is shown only if the token is unchanged after.
struct NotificationGenerations {
  std::mutex notificationGenerationLock;  // guards the three below; never held across a round trip
  uint64_t notificationGeneration = 0;  // the epoch of all notifications
  std::unordered_map<std::string, uint64_t> notificationRoomGenerations;
  // Keyed by room, U+0000, message identifier.
  std::unordered_map<std::string, uint64_t> notificationMessageGenerations;
};

// Past these sizes the next invalidation empties both maps and advances the epoch instead.
inline constexpr size_t kMaxRoomGenerations = 512;
inline constexpr size_t kMaxMessageGenerations = 8192;

struct NotificationToken {
  uint64_t generation = 0;
  uint64_t room = 0;
  uint64_t message = 0;
  bool operator==(const NotificationToken&) const = default;
};

// Both take the caller's lock for granted: hold `notificationGenerationLock`.
NotificationToken notificationToken(const NotificationGenerations& state, const std::string& room,
                                    const std::string& messageId);
// A room alone invalidates the room; a room and a message the message; no room everything.
void invalidateNotifications(NotificationGenerations& state, const std::string* room, const std::string* messageId);

}  // namespace mirelo::services::notifications

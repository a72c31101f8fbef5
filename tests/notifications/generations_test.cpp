#include "notifications/generations.h"

#include <gtest/gtest.h>

#include <string>

namespace mirelo::services::notifications {
namespace {

const std::string kRoom = "room";
const std::string kOtherRoom = "other";
const std::string kMessage = "m1";
const std::string kOtherMessage = "m2";

TEST(Generations, StartAtZero) {
  NotificationGenerations state;
  EXPECT_EQ(notificationToken(state, kRoom, kMessage), (NotificationToken{0, 0, 0}));
}

// Which pairs each kind of clear concerns.
TEST(Generations, ClearsConcernExactlyTheirPairs) {
  struct Case {
    const char* name;
    const std::string* room;
    const std::string* message;
    bool sameMessage, otherMessageSameRoom, otherRoom;
  } cases[] = {
      {"message", &kRoom, &kMessage, true, false, false},
      {"room", &kRoom, nullptr, true, true, false},
      {"everything", nullptr, nullptr, true, true, true},
      {"message without room clears everything", nullptr, &kMessage, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    NotificationGenerations state;
    const auto same = notificationToken(state, kRoom, kMessage);
    const auto sibling = notificationToken(state, kRoom, kOtherMessage);
    const auto elsewhere = notificationToken(state, kOtherRoom, kMessage);
    invalidateNotifications(state, c.room, c.message);
    EXPECT_EQ(notificationToken(state, kRoom, kMessage) != same, c.sameMessage);
    EXPECT_EQ(notificationToken(state, kRoom, kOtherMessage) != sibling, c.otherMessageSameRoom);
    EXPECT_EQ(notificationToken(state, kOtherRoom, kMessage) != elsewhere, c.otherRoom);
  }
}

TEST(Generations, RepeatedClearsKeepChangingTheToken) {
  NotificationGenerations state;
  auto before = notificationToken(state, kRoom, kMessage);
  for (int i = 0; i < 3; ++i) {
    invalidateNotifications(state, &kRoom, &kMessage);
    const auto after = notificationToken(state, kRoom, kMessage);
    EXPECT_NE(after, before);
    before = after;
  }
}

// The room and the message are kept apart: ("a", "b\0c") is not ("a\0b", "c").
TEST(Generations, MessageKeySeparatesRoomFromMessage) {
  NotificationGenerations state;
  const std::string room = "a", message = "bc";
  invalidateNotifications(state, &room, &message);
  EXPECT_EQ(notificationToken(state, "ab", "c"), (NotificationToken{0, 0, 0}));
  EXPECT_EQ(notificationToken(state, "a", "bc"), (NotificationToken{0, 0, 1}));
}

// Compaction happens on the clear after the maps passed their bound, not before.
TEST(Generations, CompactionAfterTheBound) {
  struct Case {
    const char* name;
    bool byMessage;
    size_t bound;
  } cases[] = {{"rooms", false, kMaxRoomGenerations}, {"messages", true, kMaxMessageGenerations}};
  for (const auto& c : cases) {
    for (size_t entries : {c.bound, c.bound + 1}) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(entries));
      NotificationGenerations state;
      for (size_t i = 0; i < entries; ++i) {
        const std::string key = std::to_string(i);
        if (c.byMessage) {
          invalidateNotifications(state, &kRoom, &key);
        } else {
          invalidateNotifications(state, &key, nullptr);
        }
      }
      const auto waiting = notificationToken(state, "unrelated", "x");
      // Any clear, here one of an unrelated message.
      const std::string room = "r", message = "m";
      invalidateNotifications(state, &room, &message);
      const bool compacted = entries > c.bound;
      EXPECT_EQ(notificationToken(state, "unrelated", "x") != waiting, compacted);
      EXPECT_EQ(state.notificationGeneration, compacted ? 1u : 0u);
      EXPECT_EQ(state.notificationRoomGenerations.size(), compacted ? 0u : (c.byMessage ? 0u : entries));
      EXPECT_EQ(state.notificationMessageGenerations.size(), compacted ? 1u : (c.byMessage ? entries + 1 : 1u));
    }
  }
}

}  // namespace
}  // namespace mirelo::services::notifications

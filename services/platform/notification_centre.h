#pragma once

namespace mirelo::services::platform {

// The desktop's notification centre as the bridge needs it when the process ends. Posting,
// querying and activation join this interface with the notification commands.
class NotificationCentre {
 public:
  virtual ~NotificationCentre() = default;
  // Removes every notification of this program that is on screen; requests not yet shown stay.
  virtual void removeAllDelivered() = 0;
};

}  // namespace mirelo::services::platform

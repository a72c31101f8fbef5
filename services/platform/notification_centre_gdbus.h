#pragma once

#include <memory>

#include "notification_centre.h"

namespace mirelo::services::platform {

// The centre over org.freedesktop.Notifications on the session bus (fdo_notifications.h), driven
// from a thread of its own. Connecting starts at once; operations called meanwhile wait for it.
std::unique_ptr<NotificationCentre> makeGdbusNotificationCentre();

}  // namespace mirelo::services::platform

#pragma once

#include <memory>

#include "notification_centre.h"

namespace mirelo::services::platform {

// org.freedesktop.Notifications on the session bus, driven from a thread of its own. Connecting
// starts at once; operations called meanwhile wait for it.
std::unique_ptr<NotificationCentre> makeGdbusNotificationCentre();

}  // namespace mirelo::services::platform

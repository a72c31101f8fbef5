#pragma once

#include <memory>

#include "notification_centre.h"

namespace mirelo::services::platform {

// The platform services the commands reach, picked once at start-up.
struct Platform {
  std::unique_ptr<NotificationCentre> notifications;
};

Platform makePlatform();

}  // namespace mirelo::services::platform

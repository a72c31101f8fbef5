#pragma once

#include <memory>

#include "notification_centre.h"
#include "panels.h"
#include "pasteboard.h"

namespace mirelo::services::platform {

// The platform services the commands reach, picked once at start-up.
struct Platform {
  std::unique_ptr<NotificationCentre> notifications;
  std::unique_ptr<Panels> panels;
  std::unique_ptr<Pasteboard> pasteboard;
};

// Call on the main thread: it initialises the desktop toolkit when a display is reachable.
Platform makePlatform();

}  // namespace mirelo::services::platform

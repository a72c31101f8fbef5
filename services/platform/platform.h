#pragma once

#include <memory>

#include "idle.h"
#include "keyring.h"
#include "notification_centre.h"
#include "palette.h"
#include "panels.h"
#include "pasteboard.h"
#include "power.h"

namespace mirelo::services::platform {

// The platform services the commands reach, picked once at start-up.
struct Platform {
  std::unique_ptr<NotificationCentre> notifications;
  std::unique_ptr<Panels> panels;
  std::unique_ptr<Pasteboard> pasteboard;
  std::unique_ptr<PowerAssertions> power;
  std::unique_ptr<IdleTime> idle;
  std::unique_ptr<CharacterPalette> palette;  // writes picks to `pasteboard`
  std::unique_ptr<Keychain> keychain;
};

// Call on the main thread: it initialises the desktop toolkit when a display is reachable.
Platform makePlatform();

}  // namespace mirelo::services::platform

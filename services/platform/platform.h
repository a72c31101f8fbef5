#pragma once

#include <functional>
#include <memory>
#include <optional>

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

// The services that need the X display and the toolkit. They live in the desktop module, made
// when it is loaded (main thread); without a display they are the ones that show nothing.
struct DisplayParts {
  std::unique_ptr<Panels> panels;
  std::unique_ptr<Pasteboard> pasteboard;
  std::unique_ptr<CharacterPalette> palette;  // writes picks to `pasteboard`
  // Milliseconds since the last input as the X server counts it; nothing when it cannot tell.
  std::function<std::optional<uint64_t>()> xIdleMilliseconds;
};

// Initialises the toolkit when a display is reachable and makes the display parts (main thread).
DisplayParts makeDisplayParts();

// Gives the display parts, made on the first call; null when they cannot be had.
using DisplayLoader = DisplayParts* (*)();

// Call on the main thread. The panels, the pasteboard, the palette and the X idle time ask
// `loadDisplay` on their first use, so nothing of the toolkit is loaded before a command needs it;
// when it gives nothing they answer as without a display.
Platform makePlatform(DisplayLoader loadDisplay);

}  // namespace mirelo::services::platform

#include "platform.h"

#include "notification_centre_gdbus.h"
#include "panels_gtk.h"
#include "pasteboard_xcb.h"
#include "utf8.h"

namespace mirelo::services::platform {

std::optional<std::string> Pasteboard::Item::text(std::string_view type, size_t limit) {
  auto bytes = data(type, limit);
  if (bytes) repairUtf8(*bytes);
  return bytes;
}

Platform makePlatform() {
  const bool haveDisplay = initialiseGtk();
  std::unique_ptr<Pasteboard> pasteboard = haveDisplay ? makeXcbPasteboard() : nullptr;
  Platform platform;
  platform.notifications = makeGdbusNotificationCentre();
  platform.panels = makePanels(haveDisplay);
  platform.pasteboard = pasteboard ? std::move(pasteboard) : makeNoPasteboard();
  platform.power = makeLogindPowerAssertions();
  platform.idle = makeIdleTime(haveDisplay);
  platform.palette = makeCharacterPalette(haveDisplay, *platform.pasteboard);
  platform.keychain = makeSecretServiceKeychain();
  return platform;
}

}  // namespace mirelo::services::platform

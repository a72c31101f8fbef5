#include "platform.h"

#include "panels_gtk.h"
#include "pasteboard_xcb.h"

namespace mirelo::services::platform {
namespace {

// Until the notification commands exist this program posts nothing, so nothing can have been
// delivered and there is nothing to remove.
class NoNotifications final : public NotificationCentre {
 public:
  void removeAllDelivered() override {}
};

}  // namespace

Platform makePlatform() {
  const bool haveDisplay = initialiseGtk();
  std::unique_ptr<Pasteboard> pasteboard = haveDisplay ? makeXcbPasteboard() : nullptr;
  Platform platform;
  platform.notifications = std::make_unique<NoNotifications>();
  platform.panels = makePanels(haveDisplay);
  platform.pasteboard = pasteboard ? std::move(pasteboard) : makeNoPasteboard();
  platform.power = makeLogindPowerAssertions();
  platform.idle = makeIdleTime(haveDisplay);
  platform.palette = makeCharacterPalette(haveDisplay, *platform.pasteboard);
  platform.keychain = makeSecretServiceKeychain();
  return platform;
}

}  // namespace mirelo::services::platform

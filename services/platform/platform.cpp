#include "platform.h"

#include "notification_centre_gdbus.h"
#include "panels_gtk.h"
#include "pasteboard_xcb.h"

namespace mirelo::services::platform {

Platform makePlatform() {
  const bool haveDisplay = initialiseGtk();
  std::unique_ptr<Pasteboard> pasteboard = haveDisplay ? makeXcbPasteboard() : nullptr;
  return Platform{makeGdbusNotificationCentre(), makePanels(haveDisplay),
                  pasteboard ? std::move(pasteboard) : makeNoPasteboard()};
}

}  // namespace mirelo::services::platform

#include "platform.h"

#include "panels_gtk.h"

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
  return Platform{std::make_unique<NoNotifications>(), makePanels(haveDisplay)};
}

}  // namespace mirelo::services::platform

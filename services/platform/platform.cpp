#include "platform.h"

namespace mirelo::services::platform {
namespace {

// Until the notification commands exist this program posts nothing, so nothing can have been
// delivered and there is nothing to remove.
class NoNotifications final : public NotificationCentre {
 public:
  void removeAllDelivered() override {}
};

}  // namespace

Platform makePlatform() { return Platform{std::make_unique<NoNotifications>()}; }

}  // namespace mirelo::services::platform

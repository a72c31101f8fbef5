#include "platform.h"

#include "panels_gtk.h"
#include "pasteboard_xcb.h"
#include "utf8.h"

namespace mirelo::services::platform {
namespace {

// Until the notification commands exist this program posts nothing, so nothing can have been
// delivered and there is nothing to remove.
class NoNotifications final : public NotificationCentre {
 public:
  void removeAllDelivered() override {}
};

}  // namespace

std::optional<std::string> Pasteboard::Item::text(std::string_view type, size_t limit) {
  auto bytes = data(type, limit);
  if (bytes) repairUtf8(*bytes);
  return bytes;
}

Platform makePlatform() {
  const bool haveDisplay = initialiseGtk();
  std::unique_ptr<Pasteboard> pasteboard = haveDisplay ? makeXcbPasteboard() : nullptr;
  return Platform{std::make_unique<NoNotifications>(), makePanels(haveDisplay),
                  pasteboard ? std::move(pasteboard) : makeNoPasteboard()};
}

}  // namespace mirelo::services::platform

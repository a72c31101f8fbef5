// Idle time as the X server counts it: MIT-SCREEN-SAVER's time since the input it saw.
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

#include "idle.h"

namespace mirelo::services::platform {
namespace {

class XIdle {
 public:
  XIdle(xcb_connection_t* connection, int screenNumber) : x_(connection), screenNumber_(screenNumber) {}
  XIdle(const XIdle&) = delete;
  XIdle& operator=(const XIdle&) = delete;
  ~XIdle() { xcb_disconnect(x_); }

  std::optional<uint64_t> milliseconds() {
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(x_, &xcb_screensaver_id);
    if (!extension || !extension->present) return std::nullopt;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(x_));
    for (int i = 0; i < screenNumber_ && screens.rem; ++i) xcb_screen_next(&screens);
    if (!screens.rem) return std::nullopt;
    xcb_screensaver_query_info_reply_t* info =
        xcb_screensaver_query_info_reply(x_, xcb_screensaver_query_info(x_, screens.data->root), nullptr);
    if (!info) return std::nullopt;
    const uint64_t ms = info->ms_since_user_input;
    std::free(info);
    return ms;
  }

 private:
  xcb_connection_t* x_;
  int screenNumber_;
};

}  // namespace

IdleMilliseconds makeXIdleMilliseconds() {
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return nullptr;
  }
  auto idle = std::make_shared<XIdle>(connection, screenNumber);
  return [idle] { return idle->milliseconds(); };
}

}  // namespace mirelo::services::platform

// Idle time from the desktop: the compositor knows best (Mutter's IdleMonitor, or a desktop's
// org.freedesktop.ScreenSaver), the X server otherwise (MIT-SCREEN-SAVER counts input it saw).
// Every D-Bus call is bounded, so a stalled service costs a fraction of a second, not a hang.
#include <gio/gio.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <optional>

#include "bus_gdbus.h"
#include "idle.h"

namespace mirelo::services::platform {
namespace {

constexpr int kCallTimeoutMs = 500;

class DesktopIdleTime final : public IdleTime {
 public:
  explicit DesktopIdleTime(bool haveDisplay) {
    if (!haveDisplay) return;
    x_ = xcb_connect(nullptr, &screenNumber_);
    if (xcb_connection_has_error(x_)) {
      xcb_disconnect(x_);
      x_ = nullptr;
    }
  }

  ~DesktopIdleTime() override {
    if (bus_) g_object_unref(bus_);
    if (x_) xcb_disconnect(x_);
  }

  double secondsSinceLastInput() override {
    if (GDBusConnection* bus = connection()) {
      if (auto ms = call(bus, "org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
                         "org.gnome.Mutter.IdleMonitor", "GetIdletime", "(t)")) {
        return *ms / 1000.0;
      }
      if (auto ms = call(bus, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                         "org.freedesktop.ScreenSaver", "GetSessionIdleTime", "(u)")) {
        return *ms / 1000.0;
      }
    }
    if (auto ms = fromX()) return *ms / 1000.0;
    return 0;
  }

 private:
  GDBusConnection* connection() {
    if (bus_ && g_dbus_connection_is_closed(bus_)) {
      g_object_unref(bus_);
      bus_ = nullptr;
    }
    if (!bus_) bus_ = connectBus(sessionBusAddress(), kCallTimeoutMs);
    return bus_;
  }

  // Milliseconds answered by one method, or nothing when the service is absent, fails or is slow.
  static std::optional<guint64> call(GDBusConnection* bus, const char* name, const char* path,
                                     const char* interface, const char* method, const char* type) {
    // Not auto-started: a service that is not running has nothing to tell about past input.
    GVariant* reply = g_dbus_connection_call_sync(bus, name, path, interface, method, nullptr, G_VARIANT_TYPE(type),
                                                  G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, nullptr);
    if (!reply) return std::nullopt;
    guint64 ms = 0;
    if (g_variant_is_of_type(reply, G_VARIANT_TYPE("(t)"))) {
      g_variant_get(reply, "(t)", &ms);
    } else {
      guint32 small = 0;
      g_variant_get(reply, "(u)", &small);
      ms = small;
    }
    g_variant_unref(reply);
    return ms;
  }

  std::optional<guint64> fromX() {
    if (!x_) return std::nullopt;
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(x_, &xcb_screensaver_id);
    if (!extension || !extension->present) return std::nullopt;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(x_));
    for (int i = 0; i < screenNumber_ && screens.rem; ++i) xcb_screen_next(&screens);
    if (!screens.rem) return std::nullopt;
    xcb_screensaver_query_info_reply_t* info =
        xcb_screensaver_query_info_reply(x_, xcb_screensaver_query_info(x_, screens.data->root), nullptr);
    if (!info) return std::nullopt;
    const guint64 ms = info->ms_since_user_input;
    std::free(info);
    return ms;
  }

  GDBusConnection* bus_ = nullptr;
  xcb_connection_t* x_ = nullptr;
  int screenNumber_ = 0;
};

}  // namespace

std::unique_ptr<IdleTime> makeIdleTime(bool haveDisplay) {
  return std::make_unique<DesktopIdleTime>(haveDisplay);
}

}  // namespace mirelo::services::platform

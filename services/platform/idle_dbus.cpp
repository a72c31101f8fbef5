// Idle time from the desktop: the compositor knows best (Mutter's IdleMonitor, or a desktop's
// org.freedesktop.ScreenSaver), the X server otherwise (idle_xcb.cpp, in the desktop module).
// Every D-Bus call is bounded, so a stalled service costs a fraction of a second, not a hang.
#include <gio/gio.h>

#include <optional>
#include <utility>

#include "bus_gdbus.h"
#include "glib_handle.h"
#include "idle.h"

namespace mirelo::services::platform {
namespace {

constexpr int kCallTimeoutMs = 500;

class DesktopIdleTime final : public IdleTime {
 public:
  explicit DesktopIdleTime(IdleMilliseconds fromX) : fromX_(std::move(fromX)) {}

  double secondsSinceLastInput() override {
    if (GDBusConnection* bus = connection()) {
      if (auto ms = call(bus, "org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
                         "org.gnome.Mutter.IdleMonitor", "GetIdletime", "(t)")) {
        return static_cast<double>(*ms) / 1000.0;
      }
      if (auto ms = call(bus, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                         "org.freedesktop.ScreenSaver", "GetSessionIdleTime", "(u)")) {
        return static_cast<double>(*ms) / 1000.0;
      }
    }
    if (fromX_) {
      if (auto ms = fromX_()) return static_cast<double>(*ms) / 1000.0;
    }
    return 0;
  }

 private:
  GDBusConnection* connection() { return liveBus(bus_, sessionBusAddress, kCallTimeoutMs); }

  // Milliseconds answered by one method, or nothing when the service is absent, fails or is slow.
  static std::optional<guint64> call(GDBusConnection* bus, const char* name, const char* path, const char* interface,
                                     const char* method, const char* type) {
    // Not auto-started: a service that is not running has nothing to tell about past input.
    const glib::Variant reply(g_dbus_connection_call_sync(bus, name, path, interface, method, nullptr,
                                                          G_VARIANT_TYPE(type), G_DBUS_CALL_FLAGS_NO_AUTO_START,
                                                          kCallTimeoutMs, nullptr, nullptr));
    if (!reply) return std::nullopt;
    guint64 ms = 0;
    if (g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("(t)"))) {
      g_variant_get(reply.get(), "(t)", &ms);
    } else {
      guint32 small = 0;
      g_variant_get(reply.get(), "(u)", &small);
      ms = small;
    }
    return ms;
  }

  IdleMilliseconds fromX_;
  glib::Object<GDBusConnection> bus_;
};

}  // namespace

std::unique_ptr<IdleTime> makeIdleTime(IdleMilliseconds fromX) {
  return std::make_unique<DesktopIdleTime>(std::move(fromX));
}

}  // namespace mirelo::services::platform

// Screen lock, sleep and wake from D-Bus: the screensaver's ActiveChanged on the session bus and
// logind's PrepareForSleep on the system bus.
#include <gio/gio.h>

#include <string>
#include <vector>

#include "bus_gdbus.h"
#include "glib_handle.h"
#include "system_events.h"

namespace mirelo::services::platform {
namespace {

constexpr int kStartupCallTimeoutMs = 2000;

// A call answered by the bus after our AddMatch rules means the bus applies them: a signal sent
// by anyone after this returns reaches us.
void syncWithBus(GDBusConnection* connection) {
  const glib::Variant reply(g_dbus_connection_call_sync(
      connection, kBusDaemon.name, kBusDaemon.path, kBusDaemon.interface, "GetId", nullptr, G_VARIANT_TYPE("(s)"),
      G_DBUS_CALL_FLAGS_NONE, kStartupCallTimeoutMs, nullptr, nullptr));
}

bool booleanArgument(GVariant* parameters) {
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return false;
  gboolean value = FALSE;
  g_variant_get(parameters, "(b)", &value);
  return value;
}

class DbusObservers final : public SystemEventObservers {
 public:
  explicit DbusObservers(SystemEventHandlers handlers) : handlers_(std::move(handlers)) {
    session_ = connectBus(sessionBusAddress(), kStartupCallTimeoutMs);
    if (session_) {
      for (const char* service : {"org.gnome.ScreenSaver", "org.freedesktop.ScreenSaver"}) {
        subscriptions_.emplace_back(session_.get(), service, service, "ActiveChanged", nullptr, nullptr,
                                    [this](GVariant* parameters) { onActiveChanged(parameters); });
      }
      syncWithBus(session_.get());
    }
    system_ = connectBus(systemBusAddress(), kStartupCallTimeoutMs);
    if (system_) {
      subscriptions_.emplace_back(system_.get(), "org.freedesktop.login1", "org.freedesktop.login1.Manager",
                                  "PrepareForSleep", nullptr, nullptr,
                                  [this](GVariant* parameters) { onPrepareForSleep(parameters); });
      syncWithBus(system_.get());
    }
  }

 private:
  void onActiveChanged(GVariant* parameters) {
    const bool active = booleanArgument(parameters);
    // Both screensaver interfaces may announce the same lock; report it once.
    if (active && !locked_ && handlers_.screenLocked) handlers_.screenLocked();
    locked_ = active;
  }

  void onPrepareForSleep(GVariant* parameters) {
    const bool sleeping = booleanArgument(parameters);
    const auto& handler = sleeping ? handlers_.willSleep : handlers_.didWake;
    if (handler) handler();
  }

  SystemEventHandlers handlers_;
  glib::Object<GDBusConnection> session_;
  glib::Object<GDBusConnection> system_;
  std::vector<Subscription> subscriptions_;  // destroyed first: no handler runs once the rest is gone
  bool locked_ = false;
};

}  // namespace

std::unique_ptr<SystemEventObservers> observeSystemEvents(SystemEventHandlers handlers) {
  return std::make_unique<DbusObservers>(std::move(handlers));
}

}  // namespace mirelo::services::platform

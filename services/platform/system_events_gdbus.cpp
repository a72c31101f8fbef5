// Screen lock, sleep and wake from D-Bus: the screensaver's ActiveChanged on the session bus and
// logind's PrepareForSleep on the system bus.
#include <gio/gio.h>

#include <string>
#include <vector>

#include "bus_gdbus.h"
#include "system_events.h"

namespace mirelo::services::platform {
namespace {

constexpr int kStartupCallTimeoutMs = 2000;

// A call answered by the bus after our AddMatch rules means the bus applies them: a signal sent
// by anyone after this returns reaches us.
void syncWithBus(GDBusConnection* connection) {
  GVariant* reply = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "GetId", nullptr, G_VARIANT_TYPE("(s)"),
                                                G_DBUS_CALL_FLAGS_NONE, kStartupCallTimeoutMs, nullptr, nullptr);
  if (reply) g_variant_unref(reply);
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
        subscribe(session_, service, service, "ActiveChanged", &DbusObservers::onActiveChanged);
      }
      syncWithBus(session_);
    }
    system_ = connectBus(systemBusAddress(), kStartupCallTimeoutMs);
    if (system_) {
      subscribe(system_, "org.freedesktop.login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
                &DbusObservers::onPrepareForSleep);
      syncWithBus(system_);
    }
  }

  ~DbusObservers() override {
    for (auto [connection, id] : subscriptions_) g_dbus_connection_signal_unsubscribe(connection, id);
    if (session_) g_object_unref(session_);
    if (system_) g_object_unref(system_);
  }

 private:
  using Handler = void (DbusObservers::*)(GVariant*);

  struct Subscription {
    DbusObservers* self;
    Handler handler;
  };

  void subscribe(GDBusConnection* connection, const char* sender, const char* interface, const char* member,
                 Handler handler) {
    const guint id = g_dbus_connection_signal_subscribe(
        connection, sender, interface, member, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
           gpointer data) {
          auto* subscription = static_cast<Subscription*>(data);
          (subscription->self->*subscription->handler)(parameters);
        },
        new Subscription{this, handler}, [](gpointer data) { delete static_cast<Subscription*>(data); });
    subscriptions_.emplace_back(connection, id);
  }

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
  GDBusConnection* session_ = nullptr;
  GDBusConnection* system_ = nullptr;
  std::vector<std::pair<GDBusConnection*, guint>> subscriptions_;
  bool locked_ = false;
};

}  // namespace

std::unique_ptr<SystemEventObservers> observeSystemEvents(SystemEventHandlers handlers) {
  return std::make_unique<DbusObservers>(std::move(handlers));
}

}  // namespace mirelo::services::platform

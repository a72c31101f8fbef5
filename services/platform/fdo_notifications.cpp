// The notification server's D-Bus interface (see the header). Costs: one call per operation, two
// signal match rules and a name watch per connection.
#include "fdo_notifications.h"

#include <memory>
#include <utility>

namespace mirelo::services::platform {
namespace {

constexpr const char* kName = "org.freedesktop.Notifications";
constexpr BusObject kServer{kName, "/org/freedesktop/Notifications", "org.freedesktop.Notifications"};
// A server may take its time (it may be started on demand); past this a call is an error.
constexpr int kCallTimeoutMs = 10000;

// A D-Bus error's own description, without GDBus's "GDBus.Error:name: " prefix.
std::string describe(const GError* error) {
  const glib::Error copy(g_error_copy(error));
  g_dbus_error_strip_remote_error(copy.get());
  return copy->message;
}

// Whether the string array of a one-member reply holds `wanted`.
bool lists(GVariant* reply, const char* wanted) {
  const gchar** array = nullptr;  // varargs: a plain pointer, not glib::out
  g_variant_get(reply, "(^a&s)", &array);
  const Handle<const gchar*, g_free> names(array);  // the array only: its strings are the reply's
  bool found = false;
  for (const gchar** name = names.get(); name && *name; ++name) found = found || g_str_equal(*name, wanted);
  return found;
}

}  // namespace

FdoNotifications::FdoNotifications(glib::Object<GDBusConnection> bus, Signals signals)
    : bus_(std::move(bus)), signals_(std::move(signals)) {
  if (!bus_) return;
  subscriptions_.emplace_back(bus_.get(), kName, kServer.interface, "ActionInvoked", kServer.path, nullptr,
                              [this](GVariant* parameters) {
                                if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) return;
                                uint32_t id = 0;
                                const gchar* action = nullptr;
                                g_variant_get(parameters, "(u&s)", &id, &action);
                                if (g_str_equal(action, "default")) signals_.activated(id);
                              });
  subscriptions_.emplace_back(bus_.get(), kName, kServer.interface, "NotificationClosed", kServer.path, nullptr,
                              [this](GVariant* parameters) {
                                if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) return;
                                uint32_t id = 0, reason = 0;
                                g_variant_get(parameters, "(uu)", &id, &reason);
                                signals_.closed(id);
                              });
  // Not auto-started: the watch only follows whoever owns the name. Vanishing covers the owner
  // leaving, being replaced (vanished, then appeared) and the connection closing.
  watch_ = g_bus_watch_name_on_connection(
      bus_.get(), kName, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
      [](GDBusConnection*, const gchar*, gpointer data) {
        static_cast<FdoNotifications*>(data)->signals_.serverGone();
      },
      this, nullptr);
}

FdoNotifications::~FdoNotifications() {
  if (watch_) g_bus_unwatch_name(watch_);
}

bool FdoNotifications::usable() const { return bus_ && !g_dbus_connection_is_closed(bus_.get()); }

void FdoNotifications::reachable(std::function<void(bool)> answer) {
  if (!usable()) return answer(false);
  // A server that runs, or one the bus starts on demand, may show notifications.
  callAsync(bus_.get(), kBusDaemon, "NameHasOwner", g_variant_new("(s)", kName), "(b)", kCallTimeoutMs,
            [this, answer = std::move(answer)](GVariant* reply, GError*) {
              gboolean owned = FALSE;
              if (reply) g_variant_get(reply, "(b)", &owned);
              if (owned) return answer(true);
              if (!usable()) return answer(false);
              callAsync(bus_.get(), kBusDaemon, "ListActivatableNames", nullptr, "(as)", kCallTimeoutMs,
                        [answer](GVariant* names, GError*) { answer(names && lists(names, kName)); });
            });
}

void FdoNotifications::capabilities(std::function<void(std::optional<bool>)> answer) {
  if (!usable()) return answer(std::nullopt);
  callAsync(bus_.get(), kServer, "GetCapabilities", nullptr, "(as)", kCallTimeoutMs,
            [answer = std::move(answer)](GVariant* reply, GError*) {
              if (!reply) return answer(std::nullopt);
              answer(lists(reply, "actions"));
            });
}

void FdoNotifications::notify(uint32_t replacesId, bool withAction, Notified answer) {
  if (!usable()) return answer(std::nullopt, "No session bus");
  GVariantBuilder actions;
  g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
  if (withAction) {
    g_variant_builder_add(&actions, "s", "default");
    g_variant_builder_add(&actions, "s", "打开");
  }
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&hints, "{sv}", "suppress-sound", g_variant_new_boolean(TRUE));
  g_variant_builder_add(&hints, "{sv}", "category", g_variant_new_string("im.received"));
  GVariant* parameters =
      g_variant_new("(susssasa{sv}i)", "Mirelo", replacesId, "", "Mirelo", "你收到一个新消息", &actions, &hints, -1);
  callAsync(bus_.get(), kServer, "Notify", parameters, "(u)", G_MAXINT,
            [answer = std::move(answer)](GVariant* reply, GError* error) {
              if (!reply) return answer(std::nullopt, describe(error));
              uint32_t id = 0;
              g_variant_get(reply, "(u)", &id);
              answer(id, {});
            });
}

void FdoNotifications::close(uint32_t id) {
  if (!usable()) return;
  callAsync(bus_.get(), kServer, "CloseNotification", g_variant_new("(u)", id), nullptr, -1, nullptr);
}

void FdoNotifications::flush(std::function<void()> done) {
  if (!bus_) return done();
  g_dbus_connection_flush(
      bus_.get(), nullptr,
      [](GObject*, GAsyncResult*, gpointer data) {
        std::unique_ptr<std::function<void()>> flushed(static_cast<std::function<void()>*>(data));
        (*flushed)();
      },
      new std::function<void()>(std::move(done)));
}

}  // namespace mirelo::services::platform

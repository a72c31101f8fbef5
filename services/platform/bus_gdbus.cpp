// Connecting to message buses with a bound, calls and signal subscriptions, shared by the D-Bus
// implementations of the seams. Costs: one timer per connection attempt, one heap callback per call
// or subscription.
#include "bus_gdbus.h"

#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <utility>

namespace mirelo::services::platform {

std::string sessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    const std::string path = std::string(runtime) + "/bus";
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
      const glib::Chars escaped(g_dbus_address_escape_value(path.c_str()));
      return std::string("unix:path=") + escaped.get();
    }
  }
  return {};
}

std::string systemBusAddress() {
  const glib::Chars address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr));
  return address ? address.get() : "";
}

void connectBusAsync(const std::string& address, int timeoutMs, Connected done) {
  if (address.empty()) return done(nullptr);
  // The handshake runs on GDBus's worker thread; a timer in this context cancels it.
  struct Attempt {
    Connected done;
    glib::Source timer;
  };
  glib::Object<GCancellable> cancellable(g_cancellable_new());
  auto* attempt = new Attempt{std::move(done), glib::Source(g_timeout_source_new(static_cast<guint>(timeoutMs)))};
  g_source_set_callback(
      attempt->timer.get(),
      [](gpointer data) {
        g_cancellable_cancel(static_cast<GCancellable*>(data));
        return G_SOURCE_REMOVE;
      },
      g_object_ref(cancellable.get()), g_object_unref);
  glib::Context context(g_main_context_ref_thread_default());
  g_source_attach(attempt->timer.get(), context.get());
  g_dbus_connection_new_for_address(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancellable.get(),
      [](GObject*, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Attempt> finished(static_cast<Attempt*>(data));
        g_source_destroy(finished->timer.get());
        glib::Object<GDBusConnection> connection(g_dbus_connection_new_for_address_finish(result, nullptr));
        if (connection) g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
        finished->done(std::move(connection));
      },
      attempt);
}

glib::Object<GDBusConnection> connectBus(const std::string& address, int timeoutMs) {
  // The default context is not iterated, so nothing else runs meanwhile.
  const glib::Context context(g_main_context_new());
  g_main_context_push_thread_default(context.get());
  bool done = false;
  glib::Object<GDBusConnection> connection;
  connectBusAsync(address, timeoutMs, [&](glib::Object<GDBusConnection> made) {
    connection = std::move(made);
    done = true;
  });
  while (!done) g_main_context_iteration(context.get(), TRUE);
  g_main_context_pop_thread_default(context.get());
  return connection;
}

GDBusConnection* liveBus(glib::Object<GDBusConnection>& bus, std::string (*address)(), int timeoutMs) {
  if (bus && g_dbus_connection_is_closed(bus.get())) bus.reset();
  if (!bus) bus = connectBus(address(), timeoutMs);
  return bus.get();
}

void callAsync(GDBusConnection* bus, const BusObject& object, const char* method, GVariant* parameters,
               const char* replyType, int timeoutMs, CallDone done, GDBusCallFlags flags, GCancellable* cancellable) {
  const GVariantType* type = replyType ? G_VARIANT_TYPE(replyType) : nullptr;
  if (!done) {
    g_dbus_connection_call(bus, object.name, object.path, object.interface, method, parameters, type, flags, timeoutMs,
                           cancellable, nullptr, nullptr);
    return;
  }
  g_dbus_connection_call(
      bus, object.name, object.path, object.interface, method, parameters, type, flags, timeoutMs, cancellable,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<CallDone> answer(static_cast<CallDone*>(data));
        glib::Error error;
        const glib::Variant reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, glib::out(error)));
        (*answer)(reply.get(), error.get());
      },
      new CallDone(std::move(done)));
}

Subscription::Subscription(GDBusConnection* bus, const char* sender, const char* interface, const char* member,
                           const char* path, const char* arg0, Handler handler)
    : bus_(glib::ref(bus)) {
  id_ = g_dbus_connection_signal_subscribe(
      bus, sender, interface, member, path, arg0, G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
         gpointer data) { (*static_cast<Handler*>(data))(parameters); },
      new Handler(std::move(handler)), [](gpointer data) { delete static_cast<Handler*>(data); });
}

Subscription::Subscription(Subscription&& other) noexcept
    : bus_(std::move(other.bus_)), id_(std::exchange(other.id_, 0)) {}

Subscription::~Subscription() {
  if (id_) g_dbus_connection_signal_unsubscribe(bus_.get(), id_);
}

}  // namespace mirelo::services::platform

// Connecting to message buses with a bound, shared by the D-Bus implementations of the seams.
#include "bus_gdbus.h"

#include <sys/stat.h>

#include <cstdlib>

namespace mirelo::services::platform {

std::string sessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    const std::string path = std::string(runtime) + "/bus";
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
      gchar* escaped = g_dbus_address_escape_value(path.c_str());
      std::string address = std::string("unix:path=") + escaped;
      g_free(escaped);
      return address;
    }
  }
  return {};
}

std::string systemBusAddress() {
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  std::string result = address ? address : "";
  g_free(address);
  return result;
}

GDBusConnection* connectBus(const std::string& address, int timeoutMs) {
  if (address.empty()) return nullptr;
  // The handshake runs on GDBus's worker thread; a private context waits for it here, with a timer
  // that cancels it. The default context is not iterated, so nothing else runs meanwhile.
  struct State {
    GDBusConnection* connection = nullptr;
    bool done = false;
  } state;
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GCancellable* cancellable = g_cancellable_new();
  g_dbus_connection_new_for_address(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancellable,
      [](GObject*, GAsyncResult* result, gpointer data) {
        auto* s = static_cast<State*>(data);
        s->connection = g_dbus_connection_new_for_address_finish(result, nullptr);
        s->done = true;
      },
      &state);
  GSource* timer = g_timeout_source_new(static_cast<guint>(timeoutMs));
  g_source_set_callback(
      timer,
      [](gpointer data) {
        g_cancellable_cancel(static_cast<GCancellable*>(data));
        return G_SOURCE_REMOVE;
      },
      cancellable, nullptr);
  g_source_attach(timer, context);
  while (!state.done) g_main_context_iteration(context, TRUE);
  g_source_destroy(timer);
  g_source_unref(timer);
  g_object_unref(cancellable);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  if (state.connection) g_dbus_connection_set_exit_on_close(state.connection, FALSE);
  return state.connection;
}

GDBusConnection* liveBus(GDBusConnection*& bus, std::string (*address)(), int timeoutMs) {
  if (bus && g_dbus_connection_is_closed(bus)) {
    g_object_unref(bus);
    bus = nullptr;
  }
  if (!bus) bus = connectBus(address(), timeoutMs);
  return bus;
}

}  // namespace mirelo::services::platform

// Bounded waits on a keyring peer: a call ends when it answers, when its deadline passes, or when
// the peer leaves the bus (a Secret Service whose prompt is open sends nothing more once gone, so
// its name is the only sign). Costs one match rule per watched peer and one timer per wait.
#include "keyring_await.h"

#include <algorithm>
#include <utility>

namespace mirelo::services::platform {

PeerWatch::PeerWatch(GDBusConnection* connection, const char* name)
    : connection_(G_DBUS_CONNECTION(g_object_ref(connection))) {
  subscription_ = g_dbus_connection_signal_subscribe(
      connection_, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus", name,
      G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
         gpointer data) {
        const gchar* oldOwner = nullptr;
        g_variant_get(parameters, "(&s&s&s)", nullptr, &oldOwner, nullptr);
        if (oldOwner && *oldOwner) ++static_cast<PeerWatch*>(data)->departures_;
      },
      this, nullptr);
}

PeerWatch::~PeerWatch() {
  g_dbus_connection_signal_unsubscribe(connection_, subscription_);
  g_object_unref(connection_);
}

namespace {

// Shared by the waiter and the call's callback, which may come after the waiter gave up.
struct Pending {
  int references = 2;
  GAsyncResult* result = nullptr;
  bool timedOut = false;

  void release() {
    if (--references == 0) {
      if (result) g_object_unref(result);
      delete this;
    }
  }
};

}  // namespace

Awaited awaitCall(const PeerWatch* peer, Deadline deadline, const AsyncStart& start) {
  Awaited awaited;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return awaited;
  if (peer && g_dbus_connection_is_closed(peer->connection())) {
    awaited.end = Awaited::End::peerLeft;
    return awaited;
  }

  auto* pending = new Pending;
  GCancellable* cancellable = g_cancellable_new();
  const auto departures = [peer] { return peer ? peer->departures() : 0; };
  const uint64_t before = departures();
  const guint timer = g_timeout_add(static_cast<guint>(std::min<int64_t>(left.count(), G_MAXINT)), [](gpointer data) {
    static_cast<Pending*>(data)->timedOut = true;
    return G_SOURCE_REMOVE;
  }, pending);
  start(cancellable, +[](GObject*, GAsyncResult* answer, gpointer data) {
    auto* p = static_cast<Pending*>(data);
    p->result = G_ASYNC_RESULT(g_object_ref(answer));
    p->release();
  }, pending);
  while (!pending->result && !pending->timedOut && departures() == before) {
    g_main_context_iteration(nullptr, TRUE);
  }
  if (!pending->timedOut) g_source_remove(timer);

  if (pending->result) {
    awaited.end = Awaited::End::answered;
    awaited.result = std::exchange(pending->result, nullptr);
  } else {
    awaited.end = departures() != before ? Awaited::End::peerLeft : Awaited::End::timedOut;
    g_cancellable_cancel(cancellable);
  }
  g_object_unref(cancellable);
  pending->release();
  return awaited;
}

bool peerAbsent(const GError* error) {
  return error && (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
                   g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER));
}

}  // namespace mirelo::services::platform

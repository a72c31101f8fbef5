// Bounded waits on a keyring peer: a call ends when it answers, when its deadline passes, or when
// the peer leaves the bus (a Secret Service whose prompt is open sends nothing more once gone, so
// its name is the only sign). Costs one match rule per watched peer and one timer per wait.
#include "keyring_await.h"

#include <algorithm>
#include <utility>

namespace mirelo::services::platform {

PeerWatch::PeerWatch(GDBusConnection* connection, const char* name)
    : connection_(glib::ref(connection)),
      ownerChanged_(connection, kBusDaemon.name, kBusDaemon.interface, "NameOwnerChanged", kBusDaemon.path, name,
                    [this](GVariant* parameters) {
                      const gchar* oldOwner = nullptr;
                      g_variant_get(parameters, "(&s&s&s)", nullptr, &oldOwner, nullptr);
                      if (oldOwner && *oldOwner) ++departures_;
                    }) {}

namespace {

// Shared by the waiter and the call's callback, which may come after the waiter gave up.
struct Pending {
  int references = 2;
  glib::Object<GAsyncResult> result;
  bool timedOut = false;

  void release() {
    if (--references == 0) delete this;
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
  const glib::Object<GCancellable> cancellable(g_cancellable_new());
  const auto departures = [peer] { return peer ? peer->departures() : 0; };
  const uint64_t before = departures();
  const guint timer = g_timeout_add(
      static_cast<guint>(std::min<int64_t>(left.count(), G_MAXINT)),
      [](gpointer data) {
        static_cast<Pending*>(data)->timedOut = true;
        return G_SOURCE_REMOVE;
      },
      pending);
  start(
      cancellable.get(),
      +[](GObject*, GAsyncResult* answer, gpointer data) {
        auto* p = static_cast<Pending*>(data);
        p->result = glib::ref(answer);
        p->release();
      },
      pending);
  while (!pending->result && !pending->timedOut && departures() == before) {
    g_main_context_iteration(nullptr, TRUE);
  }
  if (!pending->timedOut) g_source_remove(timer);

  if (pending->result) {
    awaited.end = Awaited::End::answered;
    awaited.result = std::move(pending->result);
  } else {
    awaited.end = departures() != before ? Awaited::End::peerLeft : Awaited::End::timedOut;
    g_cancellable_cancel(cancellable.get());
  }
  pending->release();
  return awaited;
}

bool peerAbsent(const GError* error) {
  return error && (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
                   g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER));
}

}  // namespace mirelo::services::platform

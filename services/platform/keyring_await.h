#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <string>

#include "bus_gdbus.h"
#include "glib_handle.h"
#include "keyring.h"

namespace mirelo::services::platform {

// Who owns a bus name on one connection: counts the times an owner left it (NameOwnerChanged with
// an old owner), so a wait on that peer ends the moment it goes. The subscription is sent before
// any call made after construction, so no departure after such a call is missed. Main thread.
class PeerWatch {
 public:
  PeerWatch(GDBusConnection* connection, const char* name);
  PeerWatch(const PeerWatch&) = delete;
  PeerWatch& operator=(const PeerWatch&) = delete;

  GDBusConnection* connection() const { return connection_.get(); }
  uint64_t departures() const { return departures_; }

 private:
  glib::Object<GDBusConnection> connection_;
  uint64_t departures_ = 0;
  Subscription ownerChanged_;
};

// How a wait ended.
struct Awaited {
  enum class End { answered, timedOut, peerLeft } end = End::timedOut;
  glib::Object<GAsyncResult> result;  // when answered
};

// Starts an asynchronous call with (cancellable, callback, data) and iterates the main context
// until it answers, `deadline` passes or `peer`'s owner leaves (no peer: the first two only). In
// the latter two cases the call is cancelled and not waited for: its answer, whenever it comes, is
// dropped. Requests read meanwhile wait in the main queue, whose source does not recurse.
using AsyncStart = std::function<void(GCancellable*, GAsyncReadyCallback, gpointer)>;
Awaited awaitCall(const PeerWatch* peer, Deadline deadline, const AsyncStart& start);

// Whether a D-Bus error says nobody owns (or can be started for) the name called.
bool peerAbsent(const GError* error);

}  // namespace mirelo::services::platform

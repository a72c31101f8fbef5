#pragma once

// The X connection the pasteboard's owner and reader share: one hidden window, the atoms they use,
// server timestamps and bounded waits for events. Main thread only.

#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>

#include "handle.h"

namespace mirelo::services::platform::xcb {

using Clock = std::chrono::steady_clock;

// A reply XCB allocated, freed with it.
template <class T>
using Reply = Handle<T, std::free>;

inline constexpr auto kAnswerTimeout = std::chrono::milliseconds(1500);  // per reply or INCR chunk

// The atoms every part uses, interned when the link is made.
struct Atoms {
  xcb_atom_t clipboard, targets, timestamp, multiple, saveTargets, incr, utf8, property, clock;
};

class Link {
 public:
  // Events nobody waits for (requests for our offer, SelectionClear, INCR deletions).
  using Handler = std::function<void(xcb_generic_event_t* event)>;
  using Match = std::function<bool(xcb_generic_event_t* event)>;

  // Takes `connection` over; its descriptor is watched by a GLib source on the default context.
  Link(xcb_connection_t* connection, xcb_screen_t* screen);
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  ~Link();

  void setHandler(Handler handler) { handler_ = std::move(handler); }
  xcb_connection_t* connection() const { return c_; }
  xcb_window_t window() const { return window_; }
  const Atoms& atoms() const { return atoms_; }
  // The X server is gone (or the connection failed): nothing can be read or offered any more.
  bool gone() const { return xcb_connection_has_error(c_) != 0; }

  // Cached both ways; a round trip for a name or atom not seen before.
  xcb_atom_t atom(const std::string& name);
  std::string atomName(xcb_atom_t value);

  xcb_window_t ownerOf(xcb_atom_t selection);
  // The CLIPBOARD owner as the server has it, after handling what was queued meanwhile: a
  // SelectionClear sent before the answer is handled before the caller decides anything.
  xcb_window_t syncedOwner();
  // A server timestamp, from the notification of a property of our window we touch.
  xcb_timestamp_t serverTime();
  // Handles events until `match` takes one or the deadline passes; false at the deadline.
  bool waitFor(Clock::time_point deadline, const Match& match);
  // Handles the events XCB queued while we waited for a reply (the descriptor watch misses them).
  void drainQueued();
  // Handles every event the socket has; false once the connection failed.
  bool dispatchReadable();

 private:
  void handle(xcb_generic_event_t* event) {
    if (handler_) handler_(event);
  }

  xcb_connection_t* c_;
  xcb_window_t window_;
  Atoms atoms_{};
  std::map<std::string, xcb_atom_t> names_;
  Handler handler_;
  unsigned watch_ = 0;
};

}  // namespace mirelo::services::platform::xcb

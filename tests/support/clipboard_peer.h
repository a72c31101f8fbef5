#pragma once

// What the clipboard tests' own X clients (clipboard_owner, clipboard_manager) share: a connection
// with a hidden window, atoms, and the SelectionNotify answer.

#include <xcb/xcb.h>

#include <cstdint>

namespace mirelo::testing::clipboard {

struct Peer {
  xcb_connection_t* c = nullptr;  // null when no display could be reached
  xcb_window_t window = XCB_NONE;
};

// Connects to DISPLAY and makes a 1×1 InputOnly window that receives `eventMask`.
Peer connectPeer(uint32_t eventMask);

xcb_atom_t atom(xcb_connection_t* c, const char* name);

// Answers `request` with `property` (XCB_NONE: refused).
void notify(xcb_connection_t* c, const xcb_selection_request_event_t& request, xcb_atom_t property);

// Takes `selection` and prints "ready", the line the tests wait for.
void ownAndAnnounce(const Peer& peer, xcb_atom_t selection);

}  // namespace mirelo::testing::clipboard

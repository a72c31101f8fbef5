// The X plumbing of the clipboard tests' owner and manager: one connection, one window, one round
// trip per atom.
#include "clipboard_peer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mirelo::testing::clipboard {

Peer connectPeer(uint32_t eventMask) {
  Peer peer;
  peer.c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(peer.c)) {
    xcb_disconnect(peer.c);
    return Peer{};
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(peer.c)).data;
  peer.window = xcb_generate_id(peer.c);
  xcb_create_window(peer.c, XCB_COPY_FROM_PARENT, peer.window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    screen->root_visual, XCB_CW_EVENT_MASK, &eventMask);
  return peer;
}

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* reply =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  const xcb_atom_t value = reply ? reply->atom : XCB_NONE;
  std::free(reply);
  return value;
}

void notify(xcb_connection_t* c, const xcb_selection_request_event_t& request, xcb_atom_t property) {
  xcb_selection_notify_event_t event{};
  event.response_type = XCB_SELECTION_NOTIFY;
  event.time = request.time;
  event.requestor = request.requestor;
  event.selection = request.selection;
  event.target = request.target;
  event.property = property;
  xcb_send_event(c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
  xcb_flush(c);
}

void ownAndAnnounce(const Peer& peer, xcb_atom_t selection) {
  xcb_set_selection_owner(peer.c, peer.window, selection, XCB_CURRENT_TIME);
  xcb_flush(peer.c);
  std::printf("ready\n");
  std::fflush(stdout);
}

}  // namespace mirelo::testing::clipboard

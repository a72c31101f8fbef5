// A misbehaving owner of the X clipboard, for tests: `clipboard_owner MODE TARGET TEXT`.
//   drip    answers TARGET with INCR and then one byte of TEXT a second
//   silent  owns the clipboard and never answers anything, TARGETS included
//   die     answers TARGET with INCR and the first chunk, then exits mid-transfer
// Prints "ready" once it owns the clipboard; runs until killed (drip, silent).
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

#include "clipboard_peer.h"

using namespace mirelo::testing::clipboard;

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string mode = argv[1], text = argv[3];
  const Peer peer = connectPeer(0);
  xcb_connection_t* c = peer.c;
  if (!c) return 1;
  const xcb_atom_t clipboard = atom(c, "CLIPBOARD"), targets = atom(c, "TARGETS"), incr = atom(c, "INCR"),
                   target = atom(c, argv[2]);
  ownAndAnnounce(peer, clipboard);

  size_t sent = 0;
  xcb_window_t requestor = XCB_NONE;
  xcb_atom_t property = XCB_NONE;
  while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
    const int type = event->response_type & 0x7f;
    if (type == XCB_SELECTION_REQUEST && mode != "silent") {
      const auto& request = *reinterpret_cast<xcb_selection_request_event_t*>(event);
      if (request.target == targets) {
        const xcb_atom_t list[] = {targets, target};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, request.property, XCB_ATOM_ATOM, 32, 2, list);
        notify(c, request, request.property);
      } else if (request.target == target) {
        requestor = request.requestor;
        property = request.property;
        const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(c, requestor, XCB_CW_EVENT_MASK, &events);
        const uint32_t size = static_cast<uint32_t>(text.size());
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, incr, 32, 1, &size);
        notify(c, request, property);
      } else {
        notify(c, request, XCB_NONE);
      }
    } else if (type == XCB_PROPERTY_NOTIFY && requestor != XCB_NONE) {
      const auto& change = *reinterpret_cast<xcb_property_notify_event_t*>(event);
      // The requestor deleted the property: it wants the next chunk.
      if (change.window == requestor && change.atom == property && change.state == XCB_PROPERTY_DELETE) {
        if (mode == "drip") ::sleep(1);
        const uint32_t length = sent < text.size() ? 1 : 0;
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, target, 8, length, text.data() + sent);
        xcb_flush(c);
        sent += length;
        if (mode == "die") {
          std::free(event);
          ::_exit(0);  // mid-transfer, without a word
        }
      }
    }
    std::free(event);
  }
  return 0;
}

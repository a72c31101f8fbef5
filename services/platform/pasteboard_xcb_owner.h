#pragma once

// Our side of the CLIPBOARD selection: the offer we own and serve to other programs, and its
// hand-over to a clipboard manager before we exit. Main thread only.

#include <xcb/xcb.h>

#include <memory>
#include <string>
#include <vector>

#include "pasteboard.h"
#include "pasteboard_xcb_link.h"

namespace mirelo::services::platform::xcb {

// One target of our offer: its bytes, and the type of the property they are served in.
struct Offer {
  xcb_atom_t target;
  xcb_atom_t type;
  std::shared_ptr<const std::string> data;
};

class SelectionOwner {
 public:
  explicit SelectionOwner(Link& link);

  bool owns() const { return owner_; }
  const std::vector<Offer>& offers() const { return offer_; }

  // Takes CLIPBOARD with a server timestamp and offers `item` under its targets (text under every
  // text target); false when the server did not make us the owner.
  bool take(PasteboardItem item);
  // Asks a running clipboard manager to take the offer over (SAVE_TARGETS) and serves it until the
  // manager answers, its window goes, or a few seconds pass. Nothing when no manager runs.
  void handOver();
  // A SelectionRequest, SelectionClear or PropertyNotify (a requestor's INCR progress).
  void handle(xcb_generic_event_t* event);

 private:
  struct Transfer {
    xcb_window_t requestor;
    xcb_atom_t property;
    xcb_atom_t type;
    std::shared_ptr<const std::string> data;
    size_t offset;
  };

  void offerItem(PasteboardItem&& item);
  void serve(const xcb_selection_request_event_t& request);
  bool convert(xcb_window_t requestor, xcb_atom_t target, xcb_atom_t property);
  bool convertMultiple(xcb_window_t requestor, xcb_atom_t property);
  void continueTransfer(const xcb_property_notify_event_t& notify);

  Link& link_;
  size_t incrThreshold_;
  bool owner_ = false;
  xcb_timestamp_t ownedSince_ = XCB_CURRENT_TIME;
  std::vector<Offer> offer_;
  std::vector<Transfer> transfers_;
};

}  // namespace mirelo::services::platform::xcb

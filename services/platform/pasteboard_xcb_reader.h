#pragma once

// Reading what another program owns on CLIPBOARD: one conversion into a property of our window,
// INCR included, bounded. Main thread only.

#include <xcb/xcb.h>

#include <optional>
#include <string>
#include <vector>

#include "pasteboard_xcb_link.h"

namespace mirelo::services::platform::xcb {

// What a conversion put in our property: the property's type and its bytes.
struct Converted {
  xcb_atom_t type;
  std::string bytes;
};

// Converts CLIPBOARD to `target`: nothing when the owner refuses, sends more than `limit` bytes, or
// takes longer than 1.5 s for an answer or chunk, 3 s for the whole, or past `deadline`.
std::optional<Converted> convertSelection(Link& link, xcb_atom_t target, size_t limit, Clock::time_point deadline);

// The target names the owner lists under TARGETS (bounded as above).
std::vector<std::string> ownerTargets(Link& link, Clock::time_point deadline);

}  // namespace mirelo::services::platform::xcb

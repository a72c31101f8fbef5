#pragma once

#include <memory>

#include "pasteboard.h"

namespace mirelo::services::platform {

// The X11 CLIPBOARD selection over its own XCB connection, driven on the main thread. Null when no
// X display can be reached.
std::unique_ptr<Pasteboard> makeXcbPasteboard();

}  // namespace mirelo::services::platform

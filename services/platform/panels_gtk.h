#pragma once

#include <memory>

#include "panels.h"

namespace mirelo::services::platform {

// Initialises GTK on the main thread when a display is reachable; false when none is.
bool initialiseGtk();

std::unique_ptr<Panels> makePanels(bool haveDisplay);

}  // namespace mirelo::services::platform

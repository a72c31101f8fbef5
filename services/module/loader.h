#pragma once

#include "desktop_module.h"
#include "protocol/error.h"

namespace mirelo::services::module {

// The desktop module, loaded on the first call (main thread only) from the executable's own
// folder; null for good when it cannot be loaded.
DesktopModule* desktopModule();

// The display parts for `platform::makePlatform`.
platform::DisplayParts* loadDisplay();

// The error of a command that needs the module when it cannot be loaded.
Error moduleMissing();

// A command of the module, for the dispatcher; it fails with `moduleMissing` without the module.
template <Json (*DesktopModule::*command)(const Json&)>
Json run(const Json& payload) {
  DesktopModule* loaded = desktopModule();
  if (!loaded) throw moduleMissing();
  return (loaded->*command)(payload);
}

template <class Seam, Json (*DesktopModule::*command)(Seam&, const Json&)>
Json run(Seam& seam, const Json& payload) {
  DesktopModule* loaded = desktopModule();
  if (!loaded) throw moduleMissing();
  return (loaded->*command)(seam, payload);
}

}  // namespace mirelo::services::module

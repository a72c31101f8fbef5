#pragma once

#include "json.h"
#include "platform/panels.h"
#include "platform/pasteboard.h"
#include "platform/platform.h"

namespace mirelo::services::module {

// What the desktop module (images, room cards, the toolkit and X) hands the executable when it is
// loaded. Both sides are built from one tree with one compiler, so C++ types cross as they are.
struct DesktopModule {
  platform::DisplayParts display;
  // The commands that decode or encode images; libvips is initialised on the first of them.
  Json (*roomCardEncode)(const Json& payload);
  Json (*roomCardDecode)(const Json& payload);
  Json (*qrDecode)(const Json& payload);
  Json (*qrGenerate)(const Json& payload);
  Json (*normalizeImage)(const Json& payload);
  Json (*clipboardCardRead)(platform::Pasteboard& pasteboard, const Json& payload);
  Json (*clipboardCardWrite)(platform::Pasteboard& pasteboard, const Json& payload);
  Json (*roomCardSaveFile)(platform::Panels& panels, const Json& payload);
  Json (*chooseImages)(platform::Panels& panels, const Json& payload);
};

// The module's one exported function: makes the module's parts on its first call (main thread).
inline constexpr const char* kDesktopModuleEntry = "mirelo_desktop_module";
using DesktopModuleEntry = DesktopModule* (*)();

// The module's file name, next to the executable.
inline constexpr const char* kDesktopModuleFile = "MireloServicesDesktop.so";

}  // namespace mirelo::services::module

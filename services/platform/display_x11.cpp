// The parts of the platform that need the X display, made together when the desktop module loads.
#include "panels_gtk.h"
#include "pasteboard_xcb.h"
#include "platform.h"

namespace mirelo::services::platform {

DisplayParts makeDisplayParts() {
  const bool haveDisplay = initialiseGtk();
  std::unique_ptr<Pasteboard> pasteboard = haveDisplay ? makeXcbPasteboard() : nullptr;
  DisplayParts parts;
  parts.panels = makePanels(haveDisplay);
  parts.pasteboard = pasteboard ? std::move(pasteboard) : makeNoPasteboard();
  parts.palette = makeCharacterPalette(haveDisplay, *parts.pasteboard);
  if (haveDisplay) parts.xIdleMilliseconds = makeXIdleMilliseconds();
  return parts;
}

}  // namespace mirelo::services::platform

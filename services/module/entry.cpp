// The desktop module's entry: the display parts and the image commands for the executable.
#include "desktop_module.h"
#include "images/commands.h"
#include "images/images.h"
#include "roomcard/commands.h"

namespace mirelo::services::module {
namespace {

// libvips is set up by the first command that may need it (on the main thread, where every one
// of these runs).
template <Json (*run)(const Json&)>
Json withImages(const Json& payload) {
  images::initialise();
  return run(payload);
}

template <class Seam, Json (*run)(Seam&, const Json&)>
Json withImages(Seam& seam, const Json& payload) {
  images::initialise();
  return run(seam, payload);
}

}  // namespace
}  // namespace mirelo::services::module

extern "C" __attribute__((visibility("default"))) mirelo::services::module::DesktopModule* mirelo_desktop_module() {
  using namespace mirelo::services;
  using namespace mirelo::services::module;
  using platform::Panels;
  using platform::Pasteboard;
  static DesktopModule module{
      .display = platform::makeDisplayParts(),
      .roomCardEncode = withImages<roomcard::roomCardEncode>,
      .roomCardDecode = withImages<roomcard::roomCardDecode>,
      .qrDecode = withImages<images::qrDecode>,
      .qrGenerate = withImages<images::qrGenerate>,
      .normalizeImage = withImages<images::normalizeImage>,
      .clipboardCardRead = withImages<Pasteboard, roomcard::clipboardCardRead>,
      .clipboardCardWrite = withImages<Pasteboard, roomcard::clipboardCardWrite>,
      .roomCardSaveFile = withImages<Panels, roomcard::roomCardSaveFile>,
      .chooseImages = withImages<Panels, images::chooseImages>,
  };
  return &module;
}

#pragma once

#include <memory>

#include "pasteboard.h"

namespace mirelo::services::platform {

// The character palette: the user picks an emoji, which lands on the clipboard for pasting.
// Main thread; showing never waits for the pick.
class CharacterPalette {
 public:
  virtual ~CharacterPalette() = default;
  // Shows the palette, or brings the open one to the front.
  virtual void show() = 0;
};

// GTK's emoji chooser in a small window of its own, writing picks to `pasteboard` (which must
// outlive it). Without a display the palette shows nothing.
std::unique_ptr<CharacterPalette> makeCharacterPalette(bool haveDisplay, Pasteboard& pasteboard);

// Without a display the palette shows nothing.
std::unique_ptr<CharacterPalette> makeNoCharacterPalette();

}  // namespace mirelo::services::platform

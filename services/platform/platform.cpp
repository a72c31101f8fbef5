#include "platform.h"

#include <cstdlib>
#include <utility>

#include "notification_centre_gdbus.h"
#include "utf8.h"

namespace mirelo::services::platform {

std::optional<std::string> Pasteboard::Item::text(std::string_view type, size_t limit) {
  auto bytes = data(type, limit);
  if (bytes) repairUtf8(*bytes);
  return bytes;
}

namespace {

// Without a display no panel can be shown: it answers as if the user cancelled.
class NoPanels final : public Panels {
 public:
  std::vector<std::string> chooseFiles(const Open&) override { return {}; }
  std::optional<std::string> chooseSaveLocation(const Save&) override { return std::nullopt; }
};

class NoPasteboard final : public Pasteboard {
 public:
  std::vector<std::unique_ptr<Item>> items() override { return {}; }
  std::vector<std::string> fileUrls() override { return {}; }
  std::optional<std::string> text() override { return std::nullopt; }
  bool write(PasteboardItem) override { return false; }
};

class NoCharacterPalette final : public CharacterPalette {
 public:
  void show() override {}
};

// The display parts as the commands see them: loaded on first use, or the ones without a display
// when they cannot be loaded.
class Display {
 public:
  explicit Display(DisplayLoader load) : load_(load) {}

  Panels& panels() { return parts() ? *parts_->panels : *noPanels_; }
  Pasteboard& pasteboard() { return parts() ? *parts_->pasteboard : *noPasteboard_; }
  CharacterPalette& palette() { return parts() ? *parts_->palette : *noPalette_; }
  // Only when the parts were made: nothing of the toolkit is loaded just to find nothing to hand over.
  Pasteboard* loadedPasteboard() { return parts_ ? parts_->pasteboard.get() : nullptr; }
  std::optional<uint64_t> xIdleMilliseconds() {
    return parts() && parts_->xIdleMilliseconds ? parts_->xIdleMilliseconds() : std::nullopt;
  }

 private:
  DisplayParts* parts() {
    if (!asked_) {
      asked_ = true;
      // The toolkit reaches the X server named by DISPLAY only: without one, nothing is loaded
      // for the parts that would answer as without a display anyway.
      const char* name = std::getenv("DISPLAY");
      if (name && *name) parts_ = load_();
    }
    return parts_;
  }

  DisplayLoader load_;
  bool asked_ = false;
  DisplayParts* parts_ = nullptr;
  std::unique_ptr<Panels> noPanels_ = makeNoPanels();
  std::unique_ptr<Pasteboard> noPasteboard_ = makeNoPasteboard();
  std::unique_ptr<CharacterPalette> noPalette_ = makeNoCharacterPalette();
};

class LoadedPanels final : public Panels {
 public:
  explicit LoadedPanels(std::shared_ptr<Display> display) : display_(std::move(display)) {}
  std::vector<std::string> chooseFiles(const Open& options) override { return display_->panels().chooseFiles(options); }
  std::optional<std::string> chooseSaveLocation(const Save& options) override {
    return display_->panels().chooseSaveLocation(options);
  }

 private:
  std::shared_ptr<Display> display_;
};

class LoadedPasteboard final : public Pasteboard {
 public:
  explicit LoadedPasteboard(std::shared_ptr<Display> display) : display_(std::move(display)) {}
  std::vector<std::unique_ptr<Item>> items() override { return display_->pasteboard().items(); }
  std::vector<std::string> fileUrls() override { return display_->pasteboard().fileUrls(); }
  std::optional<std::string> text() override { return display_->pasteboard().text(); }
  bool write(PasteboardItem item) override { return display_->pasteboard().write(std::move(item)); }
  void limitReads(std::chrono::steady_clock::time_point deadline) override {
    display_->pasteboard().limitReads(deadline);
  }
  void handOverBeforeExit() override {
    if (Pasteboard* loaded = display_->loadedPasteboard()) loaded->handOverBeforeExit();
  }

 private:
  std::shared_ptr<Display> display_;
};

class LoadedPalette final : public CharacterPalette {
 public:
  explicit LoadedPalette(std::shared_ptr<Display> display) : display_(std::move(display)) {}
  void show() override { display_->palette().show(); }

 private:
  std::shared_ptr<Display> display_;
};

}  // namespace

std::unique_ptr<Panels> makeNoPanels() { return std::make_unique<NoPanels>(); }
std::unique_ptr<Pasteboard> makeNoPasteboard() { return std::make_unique<NoPasteboard>(); }
std::unique_ptr<CharacterPalette> makeNoCharacterPalette() { return std::make_unique<NoCharacterPalette>(); }

Platform makePlatform(DisplayLoader loadDisplay) {
  auto display = std::make_shared<Display>(loadDisplay);
  Platform platform;
  platform.notifications = makeGdbusNotificationCentre();
  platform.panels = std::make_unique<LoadedPanels>(display);
  platform.pasteboard = std::make_unique<LoadedPasteboard>(display);
  platform.power = makeLogindPowerAssertions();
  platform.idle = makeIdleTime([display] { return display->xIdleMilliseconds(); });
  platform.palette = std::make_unique<LoadedPalette>(display);
  platform.keychain = makeDesktopKeychain();
  return platform;
}

}  // namespace mirelo::services::platform

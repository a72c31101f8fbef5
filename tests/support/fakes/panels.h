#pragma once

// File panels that answer what the test set and remember what they were asked.

#include <optional>
#include <string>
#include <vector>

#include "platform/panels.h"

namespace mirelo::services::testing {

class FakePanels final : public platform::Panels {
 public:
  std::vector<std::string> files;  // the open panel's answer (file URLs); empty: cancelled
  std::optional<std::string> saveAnswer;  // the save panel's answer (a path); nothing: cancelled
  Open opened;  // what the last open panel was asked
  Save saved;  // what the last save panel was asked
  int shown = 0;  // panels shown, of either kind

  std::vector<std::string> chooseFiles(const Open& options) override {
    ++shown;
    opened = options;
    return files;
  }
  std::optional<std::string> chooseSaveLocation(const Save& options) override {
    ++shown;
    saved = options;
    return saveAnswer;
  }
};

}  // namespace mirelo::services::testing

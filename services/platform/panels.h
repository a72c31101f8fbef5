#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mirelo::services::platform {

// Modal file panels. Implemented with the commands that show them; an empty answer means the
// user cancelled or no panel could be shown.
class Panels {
 public:
  virtual ~Panels() = default;

  struct Open {
    std::string message;
    std::vector<std::string> types;  // file types offered, by extension
    bool multiple = false;
  };
  virtual std::vector<std::string> chooseFiles(const Open& options) = 0;

  struct Save {
    std::string message;
    std::string proposedName;
    std::vector<std::string> types;
    bool canCreateFolders = true;
  };
  virtual std::optional<std::string> chooseSaveLocation(const Save& options) = 0;
};

// Without a display: every panel answers as cancelled.
std::unique_ptr<Panels> makeNoPanels();

}  // namespace mirelo::services::platform

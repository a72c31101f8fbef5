#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mirelo::services::platform {

// One item of the desktop's clipboard: its data under each type it is offered as.
struct PasteboardItem {
  std::vector<std::pair<std::string, std::string>> entries;  // type name, bytes
};

// The general pasteboard. Implemented with the clipboard commands; declared here so that the
// bridge and the room card commands meet on one seam.
class Pasteboard {
 public:
  virtual ~Pasteboard() = default;
  virtual std::vector<PasteboardItem> items() = 0;
  virtual std::optional<std::string> text() = 0;
  virtual std::vector<std::string> filePaths() = 0;
  // Replaces the contents with one item; false when the pasteboard refuses it.
  virtual bool write(const PasteboardItem& item) = 0;
};

}  // namespace mirelo::services::platform

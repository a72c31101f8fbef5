#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mirelo::services::platform {

// Type names on this desktop's clipboard.
inline constexpr std::string_view kPngType = "image/png";
inline constexpr std::string_view kTiffType = "image/tiff";
inline constexpr std::string_view kUriListType = "text/uri-list";
inline constexpr std::string_view kTextTypes[] = {"UTF8_STRING", "text/plain;charset=utf-8"};

// What is put on the pasteboard: one item offered under several types at once.
struct PasteboardItem {
  std::vector<std::pair<std::string, std::string>> entries;  // type, bytes
};

// The general pasteboard. Reads never fail: what cannot be had reads as absent.
class Pasteboard {
 public:
  // One item as found on the pasteboard; its data is fetched per type when asked for.
  class Item {
   public:
    virtual ~Item() = default;
    // The item's bytes under `type`, or nothing. Reads stop past `limit` bytes (nothing then).
    virtual std::optional<std::string> data(std::string_view type, size_t limit) = 0;
  };

  virtual ~Pasteboard() = default;
  virtual std::vector<std::unique_ptr<Item>> items() = 0;
  // The file URLs on the pasteboard ("file://…"), in order.
  virtual std::vector<std::string> fileUrls() = 0;
  // The plain text, if any.
  virtual std::optional<std::string> text() = 0;
  // Empties the pasteboard and puts the item on it; false when the pasteboard refuses it.
  virtual bool write(PasteboardItem item) = 0;
};

}  // namespace mirelo::services::platform

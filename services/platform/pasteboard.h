#pragma once

#include <chrono>
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
// Plain text is put under these, as UTF-8. The X pasteboard also offers such text as STRING
// (when it fits ISO 8859-1), TEXT and text/plain, and reads those from owners that offer no other.
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
    // The same for a type that holds text: another program's bytes, repaired to UTF-8.
    std::optional<std::string> text(std::string_view type, size_t limit);
  };

  virtual ~Pasteboard() = default;
  virtual std::vector<std::unique_ptr<Item>> items() = 0;
  // The file URLs on the pasteboard ("file://…"), in order.
  virtual std::vector<std::string> fileUrls() = 0;
  // The plain text, if any, repaired to UTF-8.
  virtual std::optional<std::string> text() = 0;
  // Empties the pasteboard and puts the item on it; false when the pasteboard refuses it.
  virtual bool write(PasteboardItem item) = 0;

  // Every read from other programs gives up at `deadline` (reading as absent) until it is lifted
  // with `time_point::max()`: one command's reads share one bound, however many the owner drips.
  virtual void limitReads(std::chrono::steady_clock::time_point deadline) { (void)deadline; }

  // The process is about to end: what it put on the pasteboard is handed to a running clipboard
  // manager, if any, which keeps serving it. Returns within a few seconds whatever the manager does.
  virtual void handOverBeforeExit() {}
};

// Without a display there is no pasteboard: reads find nothing, writes are refused.
std::unique_ptr<Pasteboard> makeNoPasteboard();

}  // namespace mirelo::services::platform

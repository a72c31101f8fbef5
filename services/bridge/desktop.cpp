#include "desktop.h"

#include "protocol/error.h"
#include "payload.h"

namespace mirelo::services {
namespace {

constexpr size_t kMaxClipboardText = 1'048'576;

}  // namespace

Json clipboardText(platform::Pasteboard& pasteboard, const Json&) {
  auto text = pasteboard.text();
  return text ? *text : "";
}

Json clipboardWriteText(platform::Pasteboard& pasteboard, const Json& payload) {
  const std::string* text = readString(payload, "text");
  if (!text || text->size() > kMaxClipboardText) throw failure("剪贴板内容无效");
  platform::PasteboardItem item;
  for (std::string_view type : platform::kTextTypes) item.entries.emplace_back(std::string(type), *text);
  return pasteboard.write(std::move(item));
}

}  // namespace mirelo::services

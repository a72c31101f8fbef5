#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "images/images.h"
#include "json.h"
#include "platform/panels.h"
#include "platform/pasteboard.h"

namespace mirelo::services::roomcard {

// The invitation a card carries: its chunk, else its watermark, else its QR code.
std::string readRoomCard(std::string_view bytes);

struct RoomCardClipboard {
  static constexpr std::string_view originalPNG = "com.mirelo.room-card.original-png.v1";
  static constexpr size_t maxData = images::kCardByteLimit;
  static constexpr size_t maxText = 2048;

  // A pasteboard item offering the card as PNG, as the private copy and as the invitation text.
  static platform::PasteboardItem item(std::string_view png, std::string_view invitation);
  // The invitation one pasteboard item carries, cross-checked between its types; nothing when it
  // carries no card.
  static std::optional<std::string> read(platform::Pasteboard::Item& item,
                                         const std::function<std::string(std::string_view)>& reader);
};

Json roomCardEncode(const Json& payload);
Json roomCardDecode(const Json& payload);
Json clipboardCardRead(platform::Pasteboard& pasteboard, const Json& payload);
Json clipboardCardWrite(platform::Pasteboard& pasteboard, const Json& payload);
Json roomCardSaveFile(platform::Panels& panels, const Json& payload);

}  // namespace mirelo::services::roomcard

#include "commands.h"

#include <gio/gio.h>

#include <algorithm>
#include <set>

#include "base64.h"
#include "card_png.h"
#include "codec.h"
#include "images/images.h"
#include "images/qr.h"
#include "payload.h"
#include "protocol/error.h"
#include "watermark/embedder.h"
#include "watermark/reader.h"

namespace mirelo::services::roomcard {
namespace {

constexpr int kWatermarkEdge = 2048;
constexpr size_t kMaxItems = 8;
constexpr size_t kMaxFiles = 8;
constexpr const char* kNoCard = "没有识别到有效房卡，请复制完整原图或使用邀请链接";

std::string dataOf(const Json& payload) { return images::bytes(readValue(payload, "data"), images::kCardByteLimit); }

}  // namespace

std::string readRoomCard(std::string_view bytes) {
  try {
    return RoomCardCodec::decode(bytes);
  } catch (const Error&) {
  }
  try {
    if (auto invitation = watermark::decode(images::image(bytes, kWatermarkEdge))) return *invitation;
  } catch (const Error&) {
  }
  try {
    return images::qr(bytes);
  } catch (const Error&) {
  }
  throw failure(kNoCard);
}

platform::PasteboardItem RoomCardClipboard::item(std::string_view png, std::string_view invitation) {
  if (RoomCardCodec::decode(png) != invitation) throw RoomCardCodec::error("房卡图片与邀请信息不一致");
  return platform::PasteboardItem{{{std::string(platform::kPngType), std::string(png)},
                                   {std::string(originalPNG), std::string(png)},
                                   {std::string(RoomCardCodec::customType), std::string(invitation)}}};
}

std::optional<std::string> RoomCardClipboard::read(platform::Pasteboard::Item& item,
                                                   const std::function<std::string(std::string_view)>& reader) {
  std::set<std::string> invitations;
  bool image = false;
  for (std::string_view type : {originalPNG, platform::kPngType, platform::kTiffType}) {
    const auto data = item.data(type, maxData);
    if (!data) continue;
    if (type != originalPNG && images::isReadableImage(*data)) image = true;
    try {
      invitations.insert(reader(*data));
    } catch (const Error&) {
    }
  }
  auto text = item.text(RoomCardCodec::customType, maxData);  // returned below: not const, so it moves
  if (invitations.size() > 1 || (text && invitations.size() == 1 && *invitations.begin() != *text)) {
    throw RoomCardCodec::error("房卡图片与邀请信息不一致，请重新复制");
  }
  if (invitations.size() == 1) return *invitations.begin();
  // The private text alone, without an image beside it, is never trusted.
  if (image && text && text->size() <= maxText && text->starts_with(RoomCardCodec::invitationPrefix)) return text;
  return std::nullopt;
}

Json roomCardEncode(const Json& payload) {
  const std::string* invitation = readString(payload, "invitation");
  if (!invitation) throw failure("邀请内容无效");
  std::string bytes = dataOf(payload);
  if (readBoolean(payload, "robust") == true) {
    const images::Image card = watermark::embed(images::image(bytes, kWatermarkEdge), *invitation);
    bytes = cardPng(card);
  }
  return base64Value(RoomCardCodec::encodeBytes(bytes, *invitation), Base64Prefix::pngDataUrl);
}

Json roomCardDecode(const Json& payload) { return readRoomCard(dataOf(payload)); }

Json clipboardCardRead(platform::Pasteboard& pasteboard, const Json&) {
  auto items = pasteboard.items();
  for (size_t i = 0; i < items.size() && i < kMaxItems; ++i) {
    if (auto invitation = RoomCardClipboard::read(*items[i], readRoomCard)) return *invitation;
  }
  size_t examined = 0;
  for (const std::string& url : pasteboard.fileUrls()) {
    const std::string extension = images::lowerExtension(url);
    if (extension != "png" && extension != "jpg" && extension != "jpeg" && extension != "webp") continue;
    if (examined++ == kMaxFiles) break;
    try {
      return readRoomCard(images::boundedFile(url, images::kCardByteLimit));
    } catch (const Error&) {
    }
  }
  if (const auto text = pasteboard.text(); text && text->size() <= RoomCardClipboard::maxText &&
                                           (text->starts_with("PC") || text->starts_with("mirelo://join/"))) {
    return *text;
  }
  throw failure(kNoCard);
}

Json clipboardCardWrite(platform::Pasteboard& pasteboard, const Json& payload) {
  const std::string bytes = dataOf(payload);
  const std::string* invitation = readString(payload, "invitation");
  if (!invitation) throw failure("邀请内容无效");
  if (pasteboard.write(RoomCardClipboard::item(bytes, *invitation))) {
    auto items = pasteboard.items();
    if (!items.empty() && RoomCardClipboard::read(*items.front(), readRoomCard) == *invitation) return true;
  }
  throw failure("房卡未能写入剪贴板，请重试或保存 PNG 房卡");
}

Json roomCardSaveFile(platform::Panels& panels, const Json& payload) {
  const std::string bytes = dataOf(payload);
  RoomCardCodec::decode(bytes);  // only a card is saved; no panel for anything else
  platform::Panels::Save options;
  options.message = "保存完整 PNG 房卡，保留邀请信息";
  options.proposedName = "Mirelo房卡.png";
  options.types = {"png"};
  options.canCreateFolders = true;
  const auto path = panels.chooseSaveLocation(options);
  if (!path) return false;
  // Written beside the target and renamed over it: a reader never sees half a card.
  GFile* file = g_file_new_for_path(path->c_str());
  GError* error = nullptr;
  const bool written = g_file_replace_contents(file, bytes.data(), bytes.size(), nullptr, FALSE, G_FILE_CREATE_NONE,
                                               nullptr, nullptr, &error);
  g_object_unref(file);
  if (!written) {
    Error failed = platformError(error ? error->message : "");
    if (error) g_error_free(error);
    throw failed;
  }
  return true;
}

}  // namespace mirelo::services::roomcard

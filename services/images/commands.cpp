#include "commands.h"

#include <glib.h>

#include <algorithm>
#include <cctype>

#include "base64.h"
#include "heif.h"
#include "images.h"
#include "payload.h"
#include "protocol/error.h"
#include "qr.h"
#include "utf8.h"

namespace mirelo::services::images {
namespace {

constexpr size_t kMaxChosenFiles = 8;
constexpr size_t kStickerLimit = 5'242'880;
constexpr int kNormalizeMinEdge = 32;
constexpr int kNormalizeMaxEdge = 512;
constexpr int64_t kNormalizeMaxBytes = 65'536;

std::string lastComponent(const std::string& uri) {
  gchar* path = g_filename_from_uri(uri.c_str(), nullptr, nullptr);
  std::string name = path ? path : uri;
  g_free(path);
  const size_t slash = name.find_last_of('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  repairUtf8(name);  // names on disk are bytes; the reply carries text
  return name;
}

std::string typeOf(const std::string& name) {
  const std::string extension = lowerExtension(name);
  if (extension == "png") return "image/png";
  if (extension == "gif") return "image/gif";
  if (extension == "webp") return "image/webp";
  if (extension == "jpg" || extension == "jpeg") return "image/jpeg";
  return "";
}

}  // namespace

Json chooseImages(platform::Panels& panels, const Json& payload) {
  platform::Panels::Open options;
  options.message = "选择要导入的图片";
  options.types = {"png", "jpeg", "jpg", "gif", "webp"};
  options.multiple = readBoolean(payload, "multiple").value_or(false);
  const std::vector<std::string> uris = panels.chooseFiles(options);
  const size_t limit = readBoolean(payload, "sticker").value_or(false) ? kStickerLimit : kDefaultByteLimit;
  Json files = Json::array();
  for (size_t i = 0; i < uris.size() && i < kMaxChosenFiles; ++i) {
    const std::string data = boundedFile(uris[i], limit);
    // Only a check: the file's own bytes are returned. The panel offers four types, and the host
    // takes no other from here, whatever the file's name says.
    if (looksLikeHeif(data)) throw failure("图片尺寸无效或过大");
    image(data, kDefaultEdge);
    const std::string name = lastComponent(uris[i]);
    files.push_back(Json{
        {"name", name}, {"type", typeOf(name)}, {"data", base64Value(std::vector<uint8_t>(data.begin(), data.end()))}});
  }
  return files;
}

Json normalizeImage(const Json& payload) {
  const std::string data = bytes(readValue(payload, "data"), kDefaultByteLimit);
  int edge = static_cast<int>(
      std::clamp<int64_t>(readInteger(payload, "edge").value_or(256), kNormalizeMinEdge, kNormalizeMaxEdge));
  const int64_t limit = std::min(readInteger(payload, "limit").value_or(kNormalizeMaxBytes), kNormalizeMaxBytes);
  // Decoded once at the first edge; each smaller edge is scaled from that, not decoded again.
  const Image first = thumbnail(data, edge);
  for (;;) {
    const Image scaled = first.width() <= edge && first.height() <= edge ? first : shrink(first, edge);
    std::vector<uint8_t> encoded = pngBytes(scaled);
    if (encoded.empty()) throw failure("无法打开图片");
    if (static_cast<int64_t>(encoded.size()) <= limit) {
      return Json{{"data", base64Value(std::move(encoded))},
                  {"width", scaled.width()},
                  {"height", scaled.height()},
                  {"type", "image/png"}};
    }
    edge = static_cast<int>(edge * 0.75);
    if (edge < kNormalizeMinEdge) throw failure("图片无法压缩到安全大小");
  }
}

Json qrGenerate(const Json& payload) {
  const std::string* value = readString(payload, "value");
  if (!value || value->size() > kMaxQrText) throw failure("邀请内容无效");
  const std::string code = qrPng(*value);
  return base64Value(std::vector<uint8_t>(code.begin(), code.end()), Base64Prefix::pngDataUrl);
}

Json qrDecode(const Json& payload) { return qr(bytes(readValue(payload, "data"), kCardByteLimit)); }

}  // namespace mirelo::services::images

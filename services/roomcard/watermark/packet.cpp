// Building and parsing the watermark's packet; see packet.h.
#include "packet.h"

#include <zlib.h>

#include <algorithm>

#include "base64.h"
#include "bytes.h"
#include "format.h"
#include "roomcard/codec.h"
#include "utf8.h"

namespace mirelo::services::roomcard::watermark {
namespace {

bool isCompactPrefix(std::string_view text) {
  return std::any_of(compactPrefixes.begin(), compactPrefixes.end(),
                     [&](std::string_view prefix) { return text.starts_with(prefix); });
}

// The text a packet compresses: the prefix dropped, a compact body's Base64url decoded when it is
// UTF-8 JSON (it compresses far better), anything else as it is.
std::string packedText(std::string_view invitation) {
  std::string text(invitation.starts_with(linkPrefix) ? invitation.substr(linkPrefix.size()) : invitation);
  if (isCompactPrefix(text)) {
    std::string rest = text.substr(4);
    std::replace(rest.begin(), rest.end(), '-', '+');
    std::replace(rest.begin(), rest.end(), '_', '/');
    while (rest.size() % 4) rest.push_back('=');
    if (auto decoded = base64Decode(rest); decoded && isValidUtf8(*decoded) && decoded->starts_with('{')) {
      text = text.substr(0, 4) + *decoded;
    }
  }
  return text;
}

}  // namespace

std::string packet(std::string_view invitation) {
  const std::string text = packedText(invitation);
  if (text.empty() || text.size() > maxText) throw RoomCardCodec::error("邀请内容过长，请使用邀请链接");
  uLongf length = compressBound(static_cast<uLong>(text.size()));
  std::string compressed(length, '\0');
  if (compress2(reinterpret_cast<Bytef*>(compressed.data()), &length, reinterpret_cast<const Bytef*>(text.data()),
                static_cast<uLong>(text.size()), 9) != Z_OK ||
      length > maxCompressed) {
    throw RoomCardCodec::error("邀请编码失败");
  }
  compressed.resize(length);
  std::string out(magic);
  out += bytes::big16(static_cast<uint16_t>(length));
  out += bytes::big32(bytes::crc32(compressed));
  out += compressed;
  return out;
}

std::optional<std::string> unpack(std::string_view data) {
  if (data.size() < headerSize || data.substr(0, magic.size()) != magic) return std::nullopt;
  const size_t length = bytes::readBig16(data, lengthAt);
  if (length < 1 || length > maxCompressed || data.size() < length + headerSize) return std::nullopt;
  const std::string_view compressed = data.substr(headerSize, length);
  if (bytes::crc32(compressed) != bytes::readBig32(data, crcAt)) return std::nullopt;
  // Inflate into a buffer one byte larger than any valid text: a bomb stops there.
  std::string text(maxText + 1, '\0');
  uLongf size = static_cast<uLongf>(text.size());
  if (uncompress(reinterpret_cast<Bytef*>(text.data()), &size, reinterpret_cast<const Bytef*>(compressed.data()),
                 static_cast<uLong>(compressed.size())) != Z_OK ||
      size > maxText) {
    return std::nullopt;
  }
  text.resize(size);
  // The packet carries the invitation without its link prefix, so any text is put back behind it;
  // the CRC has already told a packet from noise.
  if (text.empty() || !isValidUtf8(text)) return std::nullopt;
  if (text.size() >= 5 && isCompactPrefix(text) && text[4] == '{') {
    std::string encoded = base64Encode(std::string_view(text).substr(4));
    std::replace(encoded.begin(), encoded.end(), '+', '-');
    std::replace(encoded.begin(), encoded.end(), '/', '_');
    encoded.erase(std::find(encoded.begin(), encoded.end(), '='), encoded.end());
    text = text.substr(0, 4) + encoded;
  }
  if (!text.starts_with(linkPrefix)) text = std::string(linkPrefix) + text;
  return text;
}

}  // namespace mirelo::services::roomcard::watermark

#include "codec.h"

#include <cstring>

#include "bytes.h"
#include "json.h"

namespace mirelo::services::roomcard {

Error RoomCardCodec::error(std::string message) { return failure(std::move(message)); }

uint32_t RoomCardCodec::checksum(std::string_view data) { return bytes::crc32(data); }

std::string RoomCardCodec::number(uint32_t value) { return bytes::big32(value); }

uint32_t RoomCardCodec::integer(std::string_view data, size_t offset) { return bytes::readBig32(data, offset); }

std::vector<RoomCardCodec::Chunk> RoomCardCodec::chunks(std::string_view png) {
  if (png.size() > maxPng ||
      png.substr(0, signature.size()) != signature.substr(0, std::min(png.size(), signature.size()))) {
    throw error("请使用Mirelo提供的 PNG 原图");
  }
  std::vector<Chunk> list;
  size_t offset = signature.size();
  for (;;) {
    if (offset >= png.size()) throw error("房卡文件结构无效");
    const size_t remaining = png.size() - offset;
    if (remaining < 12) throw error("房卡文件不完整");
    const uint32_t length = integer(png, offset);
    if (length > remaining - 12) throw error("房卡文件不完整");
    const size_t end = offset + 12 + length;
    if (checksum(png.substr(offset + 4, 4 + length)) != integer(png, end - 4)) throw error("房卡文件已损坏");
    list.push_back(Chunk{png.substr(offset + 4, 4), png.substr(offset + 8, length), offset, end});
    if (list.back().type == "IEND") break;
    offset = end;
  }
  const Chunk& last = list.back();
  if (!last.payload.empty() || last.end != png.size()) throw error("房卡文件结构无效");
  if (list.front().type != "IHDR" || list.front().payload.size() != 13) throw error("房卡文件结构无效");
  size_t idat = 0, cards = 0;
  for (const Chunk& chunk : list) {
    idat += chunk.type == "IDAT";
    cards += chunk.type == chunkType;
  }
  if (idat == 0 || cards > 1) throw error("房卡文件结构无效");
  return list;
}

namespace {

void append(std::string& out, std::string_view bytes) { out.append(bytes); }
// resize and copy: GCC 12 at -O3 reports a range insert into a reserved vector as an overflow.
void append(std::vector<uint8_t>& out, std::string_view bytes) {
  const size_t at = out.size();
  out.resize(at + bytes.size());
  if (!bytes.empty()) std::memcpy(out.data() + at, bytes.data(), bytes.size());
}

}  // namespace

template <typename Out>
Out RoomCardCodec::encodeAs(std::string_view png, std::string_view invitation) {
  if (!invitation.starts_with(invitationPrefix) || invitation.size() > maxInvitation) throw error("邀请内容无效");
  const std::vector<Chunk> list = chunks(png);
  const auto json = writeJson(Json{{"invitation", std::string(invitation)}, {"version", 1}});
  if (!json) throw error("邀请内容无效");  // not UTF-8: nothing a JSON text can carry
  const std::string body = std::string(chunkType) + *json;
  Out out;
  out.reserve(png.size() + body.size() + 8);
  append(out, signature);
  for (const Chunk& chunk : list) {
    if (chunk.type == chunkType) continue;
    if (chunk.type == "IEND") {
      append(out, number(static_cast<uint32_t>(json->size())));
      append(out, body);
      append(out, number(checksum(body)));
    }
    append(out, png.substr(chunk.begin, chunk.end - chunk.begin));
  }
  if (out.size() > maxPng) throw error("房卡图片过大");
  return out;
}

std::string RoomCardCodec::encode(std::string_view png, std::string_view invitation) {
  return encodeAs<std::string>(png, invitation);
}

std::vector<uint8_t> RoomCardCodec::encodeBytes(std::string_view png, std::string_view invitation) {
  return encodeAs<std::vector<uint8_t>>(png, invitation);
}

std::string RoomCardCodec::decode(std::string_view png) {
  const std::vector<Chunk> list = chunks(png);
  const Chunk* card = nullptr;
  for (const Chunk& chunk : list) {
    if (chunk.type == chunkType) {
      card = &chunk;
      break;
    }
  }
  constexpr const char* kNotFound = "未找到支持的邀请信息，请使用房卡 PNG 原图或邀请链接";
  if (!card || card->payload.size() > maxPayload) throw error(kNotFound);
  JsonReader reader;
  std::string parseError;
  const auto value = reader.parse(card->payload, parseError);
  if (!value) throw platformError(parseError);  // the parser's own words
  if (!value->is_object() || value->empty()) throw error(kNotFound);
  const auto version = value->find("version");
  if (version == value->end() || !version->is_number() || version->get<double>() != 1.0) throw error(kNotFound);
  const auto invitation = value->find("invitation");
  if (invitation == value->end() || !invitation->is_string()) throw error(kNotFound);
  const std::string& text = invitation->get_ref<const std::string&>();
  if (!std::string_view(text).starts_with(invitationPrefix) || text.size() > maxInvitation) throw error(kNotFound);
  return text;
}

}  // namespace mirelo::services::roomcard

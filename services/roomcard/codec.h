#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "images/images.h"
#include "protocol/error.h"

namespace mirelo::services::roomcard {

// The invitation carried by a PNG as one private ancillary chunk, "miRc", right before IEND.
struct RoomCardCodec {
  static constexpr std::string_view signature{"\x89PNG\r\n\x1a\n", 8};
  static constexpr std::string_view chunkType = "miRc";
  static constexpr std::string_view customType = "com.mirelo.room-card.v1";
  static constexpr std::string_view invitationPrefix = "mirelo://join/#";
  static constexpr size_t maxPng = images::kCardByteLimit;
  static constexpr size_t maxInvitation = 2048;
  static constexpr size_t maxPayload = 4096;

  struct Chunk {
    std::string_view type;
    std::string_view payload;
    size_t begin, end;  // the whole chunk: length field up to the byte after its CRC
  };

  // A room card error value.
  static Error error(std::string message);
  static uint32_t checksum(std::string_view bytes);
  static std::string number(uint32_t value);
  static uint32_t integer(std::string_view bytes, size_t offset);

  // The chunks of a well-formed card PNG in file order, IEND last. The views point into `png`.
  static std::vector<Chunk> chunks(std::string_view png);
  // The PNG with the card chunk for `invitation` (an existing one is replaced).
  static std::string encode(std::string_view png, std::string_view invitation);
  // The same as bytes, for a reply that carries them as Base64.
  static std::vector<uint8_t> encodeBytes(std::string_view png, std::string_view invitation);
  // The invitation in the card chunk.
  static std::string decode(std::string_view png);

 private:
  template <typename Out>
  static Out encodeAs(std::string_view png, std::string_view invitation);
};

}  // namespace mirelo::services::roomcard

// Reading a room card from arbitrary bytes: the PNG chunk walk and card chunk first, then the
// watermark and the QR code on whatever the image loaders accept. Failures are error values,
// never crashes; a card that reads back holds valid UTF-8.
#include <cstdint>
#include <string>

#include "images/images.h"
#include "protocol/error.h"
#include "roomcard/codec.h"
#include "roomcard/commands.h"
#include "utf8.h"

using namespace mirelo::services;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  images::initialise();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    const std::string invitation = roomcard::RoomCardCodec::decode(bytes);
    if (!mirelo::isValidUtf8(invitation)) __builtin_trap();
    // A card that reads re-encodes to one that reads the same.
    if (roomcard::RoomCardCodec::decode(roomcard::RoomCardCodec::encode(bytes, invitation)) != invitation) {
      __builtin_trap();
    }
  } catch (const Error&) {
  }
  try {
    if (!mirelo::isValidUtf8(roomcard::readRoomCard(bytes))) __builtin_trap();
  } catch (const Error&) {
  }
  return 0;
}

// The watermark's packet layer on arbitrary bytes and bits: unpack refuses or yields valid
// UTF-8 within its bound; decodeBits takes any bit vector.
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/error.h"
#include "roomcard/watermark/hamming.h"
#include "roomcard/watermark/packet.h"
#include "utf8.h"

namespace W = mirelo::services::roomcard::watermark;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (const auto text = W::unpack(bytes)) {
    if (!mirelo::isValidUtf8(*text)) __builtin_trap();
  }
  std::vector<uint8_t> bits(data, data + size);
  for (auto& bit : bits) bit &= 1;
  const std::string decoded = W::decodeBits(bits);
  if (const auto text = W::unpack(decoded)) {
    if (!mirelo::isValidUtf8(*text)) __builtin_trap();
  }
  // What packet writes, unpack reads back.
  if (mirelo::isValidUtf8(bytes)) {
    std::string packet;
    try {
      packet = W::packet(bytes);
    } catch (const mirelo::services::Error&) {
      return 0;  // empty, too long, or past the compressed bound
    }
    const auto back = W::unpack(packet);
    if (!back) __builtin_trap();
    if (W::unpack(W::decodeBits(W::encodeBits(packet))) != back) __builtin_trap();
  }
  return 0;
}

// Strict Base64: whatever decodes has the size announced for it; every byte string survives a
// round trip.
#include <cstdint>
#include <string>

#include "base64.h"

using namespace mirelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (const auto decoded = base64Decode(input)) {
    if (decoded->size() != base64DecodedSize(input)) __builtin_trap();
    if (base64Decode(base64Encode(*decoded)) != decoded) __builtin_trap();
  }
  const std::string encoded = base64Encode(input);
  if (encoded.size() != (size + 2) / 3 * 4 || base64Decode(encoded) != input) __builtin_trap();
  return 0;
}

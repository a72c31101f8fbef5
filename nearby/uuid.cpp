// Random UUIDs (see uuid.h).
#include "uuid.h"

#include <sys/random.h>

#include <cstdint>

namespace nearby {

std::string makeUuid() {
  uint8_t bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(hex[bytes[i] >> 4]);
    out.push_back(hex[bytes[i] & 0x0F]);
  }
  return out;
}

}  // namespace nearby

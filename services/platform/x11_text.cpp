// Conversions between UTF-8 and the ISO 8859-1 of the X selection's STRING type. Linear, one copy.
#include "x11_text.h"

#include "utf8.h"

namespace mirelo::services::platform::x11text {

std::optional<std::string> latin1FromUtf8(std::string_view utf8) {
  std::string latin1;
  latin1.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x80) {
      latin1.push_back(static_cast<char>(byte));
    } else if ((byte == 0xC2 || byte == 0xC3) && i + 1 < utf8.size()) {
      // U+0080 to U+00FF: two bytes, the lead carries the top two bits.
      latin1.push_back(static_cast<char>(((byte & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F)));
    } else {
      return std::nullopt;
    }
  }
  return latin1;
}

std::string utf8FromStringType(std::string_view bytes) {
  if (isValidUtf8(bytes)) return std::string(bytes);
  std::string utf8;
  utf8.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      utf8.push_back(c);
    } else {
      utf8.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return utf8;
}

}  // namespace mirelo::services::platform::x11text

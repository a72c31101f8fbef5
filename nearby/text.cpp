#include "text.h"

#include <sys/random.h>
#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <cstdint>
#include <memory>

namespace nearby {

size_t graphemeCount(std::string_view utf8) {
  // Each cluster holds at least one code point, so the code point count bounds it; the break
  // iterator is needed only for texts with combining sequences.
  size_t codePoints = 0;
  bool ascii = true;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) ++codePoints;
    if (c >= 0x80) ascii = false;
  }
  if (ascii) {
    // "\r\n" is the only ASCII sequence that forms one cluster of two code points.
    size_t pairs = 0;
    for (size_t i = 0; i + 1 < utf8.size(); ++i)
      if (utf8[i] == '\r' && utf8[i + 1] == '\n') ++pairs;
    return codePoints - pairs;
  }
  UErrorCode status = U_ZERO_ERROR;
  UText* text = utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
  if (U_FAILURE(status)) return codePoints;
  std::unique_ptr<UText, UText* (*)(UText*)> textOwner(text, utext_close);
  UBreakIterator* it = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
  if (U_FAILURE(status)) return codePoints;
  std::unique_ptr<UBreakIterator, void (*)(UBreakIterator*)> itOwner(it, ubrk_close);
  ubrk_setUText(it, text, &status);
  if (U_FAILURE(status)) return codePoints;
  size_t count = 0;
  ubrk_first(it);
  while (ubrk_next(it) != UBRK_DONE) ++count;
  return count;
}

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

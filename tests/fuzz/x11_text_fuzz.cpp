// The text another X client hands out under STRING (or text/plain): read as UTF-8 when it is
// well-formed, else as ISO 8859-1; and our own text converted to ISO 8859-1 for STRING.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/x11_text.h"
#include "utf8.h"

using namespace mirelo;
using namespace mirelo::services::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = x11text::utf8FromStringType(bytes);
  assert(isValidUtf8(text));
  if (isValidUtf8(bytes)) {
    assert(text == bytes);
    // Our own text: under STRING when it fits, and read back as itself.
    if (const auto latin1 = x11text::latin1FromUtf8(bytes)) {
      assert(latin1->size() <= bytes.size());
      if (!isValidUtf8(*latin1)) assert(x11text::utf8FromStringType(*latin1) == bytes);
    }
  } else {
    // ISO 8859-1: every byte one character, and back again.
    const auto latin1 = x11text::latin1FromUtf8(text);
    assert(latin1 && *latin1 == bytes);
  }
  return 0;
}

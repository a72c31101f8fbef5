#include "graphemes.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <memory>

namespace mirelo::services::notifications {
namespace {

// ICU's character break iterator follows the extended grapheme cluster rules of its Unicode
// version; creating one loads rule data, so each thread keeps its own.
icu::BreakIterator* characterBreaks() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> made(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) made.reset();
    return made;
  }();
  return iterator.get();
}

size_t codePoints(std::string_view utf8, size_t stopAfter) {
  size_t count = 0;
  for (unsigned char byte : utf8) {
    if ((byte & 0xC0) != 0x80 && ++count > stopAfter) break;
  }
  return count;
}

}  // namespace

bool atMostGraphemes(std::string_view utf8, size_t limit) {
  // Every cluster has at least one byte.
  if (utf8.size() <= limit) return true;
  icu::BreakIterator* breaks = characterBreaks();
  UErrorCode status = U_ZERO_ERROR;
  UText text = UTEXT_INITIALIZER;
  utext_openUTF8(&text, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
  if (!breaks || U_FAILURE(status)) {
    utext_close(&text);
    // Without ICU's data: code points, which never undercount clusters.
    return codePoints(utf8, limit) <= limit;
  }
  // The iterator keeps a shallow clone of `text`; every use starts with setText.
  breaks->setText(&text, status);
  size_t count = 0;
  if (U_SUCCESS(status)) {
    breaks->first();
    while (breaks->next() != icu::BreakIterator::DONE && ++count <= limit) {
    }
  } else {
    count = codePoints(utf8, limit);
  }
  utext_close(&text);
  return count <= limit;
}

}  // namespace mirelo::services::notifications

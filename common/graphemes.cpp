// Grapheme cluster counting (see graphemes.h): an ASCII pass, then ICU's break iterator.
#include "graphemes.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <memory>

namespace mirelo {
namespace {

// ICU's character break iterator follows the extended grapheme cluster rules of its Unicode
// version; creating one loads rule data, so each thread keeps its own.
icu::BreakIterator* characterBreaks() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> made(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) made.reset();
    return made;
  }();
  return iterator.get();
}

size_t clipped(size_t count, size_t stopAfter) { return count <= stopAfter ? count : stopAfter + 1; }

}  // namespace

size_t graphemeCount(std::string_view utf8, size_t stopAfter) {
  // Each cluster holds at least one code point, so the code point count bounds it (and stands in
  // for it without ICU's data).
  size_t codePoints = 0;
  bool ascii = true;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) ++codePoints;
    if (c >= 0x80) ascii = false;
  }
  if (ascii) {
    size_t pairs = 0;
    for (size_t i = 0; i + 1 < utf8.size(); ++i)
      if (utf8[i] == '\r' && utf8[i + 1] == '\n') ++pairs;
    return clipped(codePoints - pairs, stopAfter);
  }
  icu::BreakIterator* breaks = characterBreaks();
  UErrorCode status = U_ZERO_ERROR;
  UText text = UTEXT_INITIALIZER;
  utext_openUTF8(&text, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
  if (!breaks || U_FAILURE(status)) {
    utext_close(&text);
    return clipped(codePoints, stopAfter);
  }
  // The iterator keeps a shallow clone of `text`; every use starts with setText.
  breaks->setText(&text, status);
  size_t count = 0;
  if (U_SUCCESS(status)) {
    breaks->first();
    while (breaks->next() != icu::BreakIterator::DONE && ++count <= stopAfter) {
    }
  } else {
    count = clipped(codePoints, stopAfter);
  }
  utext_close(&text);
  return count;
}

}  // namespace mirelo

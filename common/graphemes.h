#pragma once

// Lengths in user-perceived characters (extended grapheme clusters, ICU's rules: a ZWJ emoji
// sequence, a flag or an emoji with a skin tone counts once), for the limits both programs count
// in characters. Plain ASCII is counted without ICU ("\r\n" is its only cluster of two code
// points); other text walks ICU's character break iterator (one per thread: making one loads rule
// data) and stops once past the limit, so a long text costs no more than the limit's worth.
// Callable from any thread.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mirelo {

// The clusters of well-formed UTF-8, counted up to `stopAfter + 1` (the result once it is past).
size_t graphemeCount(std::string_view utf8, size_t stopAfter = SIZE_MAX);

// Whether UTF-8 text has at most `limit` clusters.
inline bool atMostGraphemes(std::string_view utf8, size_t limit) {
  // Every cluster has at least one byte.
  return utf8.size() <= limit || graphemeCount(utf8, limit) <= limit;
}

}  // namespace mirelo

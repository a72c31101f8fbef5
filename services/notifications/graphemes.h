#pragma once

#include <cstddef>
#include <string_view>

namespace mirelo::services::notifications {

// Whether UTF-8 text has at most `limit` user-perceived characters (extended grapheme clusters:
// a ZWJ emoji sequence, a flag or an emoji with a skin tone counts once). Stops counting past the
// limit, so long texts cost no more than short ones.
bool atMostGraphemes(std::string_view utf8, size_t limit);

}  // namespace mirelo::services::notifications

#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mirelo {

// True when the bytes are well-formed UTF-8 (no overlongs, surrogates or code points past U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Copies the bytes, replacing each maximal ill-formed subsequence with U+FFFD. The result is never
// shorter than the input, so a bound checked on the raw bytes still holds after replacement.
std::string replaceInvalidUtf8(std::string_view bytes);

// Same, in place; returns whether anything was replaced.
bool repairUtf8(std::string& bytes);

}  // namespace mirelo

#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nearby {

// User-perceived characters (extended grapheme clusters) in well-formed UTF-8.
size_t graphemeCount(std::string_view utf8);

// A fresh random version-4 UUID in canonical upper-case form (8-4-4-4-12).
std::string makeUuid();

}  // namespace nearby

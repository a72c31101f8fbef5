#pragma once

// The TXT record our service carries: four keys, "v", "r", "p" and "m", each with a value of at
// most 128 bytes of UTF-8. Pure functions.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nearby {

inline constexpr const char* txtKeys[] = {"v", "r", "p", "m"};
inline constexpr size_t maxTxtValue = 128;

// The values of "v", "r", "p" and "m", in that order.
using TxtValues = std::array<std::string, 4>;

// The four values of a TXT record given as its strings ("key=value", or "key" alone), or nothing
// when one is missing, longer than 128 bytes or not UTF-8. Keys compare without regard to case,
// the first occurrence of a key counts, other keys are ignored.
std::optional<TxtValues> readTxt(const std::vector<std::string_view>& strings);

}  // namespace nearby

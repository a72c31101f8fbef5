// Reading a browsed instance's TXT record (see txt.h): one pass over its strings per key.
#include "txt.h"

#include <algorithm>

#include "utf8.h"

namespace nearby {

std::optional<TxtValues> readTxt(const std::vector<std::string_view>& strings) {
  TxtValues values;
  for (size_t k = 0; k < values.size(); ++k) {
    auto entry = std::find_if(strings.begin(), strings.end(), [&](std::string_view text) {
      const std::string_view key = text.substr(0, text.find('='));
      return key.size() == 1 && (key[0] | 0x20) == txtKeys[k][0];
    });
    if (entry == strings.end()) return std::nullopt;
    const size_t equals = entry->find('=');
    const std::string_view value = equals == std::string_view::npos ? std::string_view() : entry->substr(equals + 1);
    if (value.size() > maxTxtValue || !mirelo::isValidUtf8(value)) return std::nullopt;
    values[k] = std::string(value);
  }
  return values;
}

}  // namespace nearby

#pragma once

#include <optional>
#include <string>
#include <string_view>

// Text encodings of X selections: STRING is ISO 8859-1 by the conventions, UTF8_STRING and the
// text/plain;charset=utf-8 type are UTF-8.
namespace mirelo::services::platform::x11text {

// The text as ISO 8859-1 when every character is at most U+00FF; nothing otherwise. `utf8` is
// well-formed.
std::optional<std::string> latin1FromUtf8(std::string_view utf8);

// Text another program gave under STRING (or text/plain without a charset): well-formed UTF-8
// stays as it is (owners that know no encodings hand their UTF-8 bytes out as STRING, and a
// Latin-1 text with letters above 0x7F is almost never well-formed UTF-8); anything else is read
// as ISO 8859-1.
std::string utf8FromStringType(std::string_view bytes);

}  // namespace mirelo::services::platform::x11text

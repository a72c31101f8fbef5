#pragma once

// The packet the watermark's bits carry (layout in format.h): the invitation without its link
// prefix, a compact one's Base64url body as the JSON it encodes, compressed with zlib and guarded
// by a CRC-32. Pure and thread-safe.

#include <optional>
#include <string>
#include <string_view>

namespace mirelo::services::roomcard::watermark {

// The packet of an invitation. Throws the room card error "邀请内容过长，请使用邀请链接" when
// its text is empty or longer than maxText, "邀请编码失败" when it does not compress within
// maxCompressed. One zlib compression (level 9) of at most 2 KiB.
std::string packet(std::string_view invitation);

// The invitation a packet carries, the link prefix put back; nothing unless magic, length and CRC
// match and the text inflates to valid UTF-8 within maxText (a bomb stops there). Trailing bytes
// are ignored. One CRC and one bounded inflation.
std::optional<std::string> unpack(std::string_view bytes);

}  // namespace mirelo::services::roomcard::watermark

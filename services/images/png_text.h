#pragma once

// A PNG's text chunks dropped before any decoder sees them: what a picture's metadata may hold
// there (comments, XMP, editors' notes) is never kept, so it is not inflated either.

#include <optional>
#include <string>
#include <string_view>

namespace mirelo::services::images {

// The PNG without its tEXt, zTXt and iTXt chunks, every other chunk copied byte for byte; nothing
// when the bytes are not a PNG or have no text chunk. A chunk whose length runs past the end stops
// the walk: from there the bytes are copied as they are, for the decoder to refuse.
std::optional<std::string> withoutTextChunks(std::string_view png);

}  // namespace mirelo::services::images

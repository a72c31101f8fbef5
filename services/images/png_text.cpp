// Walks a PNG's chunk list (length and type only: no CRC is checked, no chunk is inflated) and
// copies all but the text chunks. Costs one pass and, when a text chunk is found, one copy of at
// most the input's size.
#include "png_text.h"

#include <cstdint>

#include "bytes.h"

namespace mirelo::services::images {
namespace {

constexpr std::string_view kSignature("\x89PNG\r\n\x1a\n", 8);
constexpr size_t kChunkOverhead = 12;  // length, type, CRC

bool isText(std::string_view type) { return type == "tEXt" || type == "zTXt" || type == "iTXt"; }

}  // namespace

std::optional<std::string> withoutTextChunks(std::string_view png) {
  if (!png.starts_with(kSignature)) return std::nullopt;
  std::optional<std::string> kept;
  size_t copiedTo = 0;  // bytes before this are in `kept` (or need not be, while it is empty)
  size_t at = kSignature.size();
  while (png.size() - at >= kChunkOverhead) {
    const uint64_t length = bytes::readBig32(png, at);
    if (length > png.size() - at - kChunkOverhead) break;
    const size_t end = at + kChunkOverhead + static_cast<size_t>(length);
    if (isText(png.substr(at + 4, 4))) {
      if (!kept) kept.emplace().reserve(png.size());
      kept->append(png.substr(copiedTo, at - copiedTo));
      copiedTo = end;
    }
    if (png.substr(at + 4, 4) == "IEND") break;
    at = end;
  }
  if (kept) kept->append(png.substr(copiedTo));
  return kept;
}

}  // namespace mirelo::services::images

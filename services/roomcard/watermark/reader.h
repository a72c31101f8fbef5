#pragma once

// Reading the invitation out of a picture's pixels: its block scores at its profile's size, their
// parity at each strength from the weakest, Hamming-corrected, until a packet's CRC matches.
// Thread-safe; any picture of at least minDecodeSize on each side.

#include <optional>
#include <string>
#include <vector>

#include "images/images.h"

namespace mirelo::services::roomcard::watermark {

// The invitation the scores (in block order) carry; nothing when no strength reads a packet. Six
// Hamming decodes and CRCs at most.
std::optional<std::string> decodeScores(const std::vector<double>& scores);
// The invitation an image carries; nothing when it carries none or cannot be read. One conversion
// and one streamed resampling of its brightness (scores.h).
std::optional<std::string> decode(const images::Image& image);

}  // namespace mirelo::services::roomcard::watermark

// The watermark's reader; see reader.h.
#include "reader.h"

#include <cstdint>

#include "format.h"
#include "hamming.h"
#include "packet.h"
#include "protocol/error.h"
#include "scores.h"

namespace mirelo::services::roomcard::watermark {

std::optional<std::string> decodeScores(const std::vector<double>& scores) {
  if (scores.empty()) return std::nullopt;
  std::vector<uint8_t> bits(scores.size());
  for (int step : strengths) {
    for (size_t i = 0; i < scores.size(); ++i) bits[i] = static_cast<uint8_t>(parity(scores[i], step));
    if (auto text = unpack(decodeBits(bits))) return text;
  }
  return std::nullopt;
}

std::optional<std::string> decode(const images::Image& image) {
  if (image.width() < minDecodeSize || image.height() < minDecodeSize) return std::nullopt;
  try {
    return decodeScores(scoresOf(image));
  } catch (const Error&) {
    return std::nullopt;
  }
}

}  // namespace mirelo::services::roomcard::watermark

#pragma once

// The watermark's format, what every reader and writer of it agrees on: one bit per 16 × 16 block
// of a card drawn at its profile's size, carried by the parity of the block's correlation with
// `basis` quantised by a strength (`step`), over a Hamming-coded, zlib-compressed packet.
// Constants only, but `basis` (a table computed once per process).

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace mirelo::services::roomcard::watermark {

constexpr int blockSize = 16;
// Card sizes: portrait, landscape, square.
constexpr std::array<std::pair<int, int>, 3> profiles{{{960, 1440}, {1440, 960}, {1280, 1280}}};
// The steps a reader tries, the weakest first.
constexpr std::array<int, 6> strengths{64, 96, 128, 160, 192, 224};
// The xorshift64 seed of the block order: "\0MIRELO1".
constexpr uint64_t seed = 0x004D4952454C4F31;
// Pictures smaller than this on either side carry nothing a reader could find.
constexpr int minDecodeSize = 256;

// The packet: magic, the compressed length (2 bytes), the CRC-32 of the compressed bytes (4), then
// the zlib stream of the invitation without its link prefix; numbers big-endian.
constexpr std::string_view magic = "MRW2";
constexpr size_t lengthAt = 4, crcAt = 6, headerSize = 10;
constexpr size_t maxText = 2048;
constexpr size_t maxCompressed = 4096;
constexpr std::string_view linkPrefix = "mirelo://join/#";
// Compact invitations whose Base64url body is carried as the JSON it encodes.
constexpr std::array<std::string_view, 4> compactPrefixes{"PC2-", "PC3-", "PC4-", "PC5-"};

// Hamming(15,11): where a codeword's data bits sit (positions 1 … 15; 1, 2, 4, 8 are parity).
constexpr std::array<int, 11> dataPositions{3, 5, 6, 7, 9, 10, 11, 12, 13, 14, 15};
constexpr size_t codewordBits = 15;

// The smooth antisymmetric 16 × 16 pattern a block's score correlates with, row by row; its
// squares sum to 2.
const std::array<double, 256>& basis();

// Rounds halves away from zero, exactly as std::round, without a library call for the values pixel
// work meets: truncation by conversion is exact, and so is the difference it leaves.
inline double roundHalfAway(double value) {
  if (!(std::fabs(value) < 0x1p62)) return std::round(value);
  const double truncated = static_cast<double>(static_cast<int64_t>(value));
  if (value - truncated >= 0.5) return truncated + 1;
  if (truncated - value >= 0.5) return truncated - 1;
  return truncated;
}

// The bit a block's score carries at `step`.
inline int parity(double score, int step) {
  return static_cast<int>(static_cast<int64_t>(roundHalfAway(score / step)) & 1);
}

}  // namespace mirelo::services::roomcard::watermark

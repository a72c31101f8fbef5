#pragma once

// A baseline JPEG decoded at 1/8 scale from its DC coefficients alone: the AC coefficients are
// skipped by their code lengths, never reconstructed. The Huffman decoding is most of the time a
// small picture of a large photograph costs, and at 1/8 only the DC terms reach the pixels.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace mirelo::services::images {

struct DcPicture {
  int width = 0;  // ceil(image width / 8), as libjpeg scales
  int height = 0;
  int bands = 0;  // 1 (grey) or 3 (RGB)
  std::vector<uint8_t> pixels;
};

// The picture libjpeg-turbo decodes at 1/8 (islow, 1x1 IDCT, its colour conversion), byte for
// byte, from a baseline Huffman JPEG with 8-bit samples, one scan holding every component and
// every component sampled alike (4:4:4 colour or grey). `rgb` says the three components are RGB
// rather than YCbCr. Nothing for anything else, or for any irregularity in the data (a code that
// is not in its table, a scan that ends early, restart markers out of order), which the caller
// leaves to a full decoder. A scan of `parallelFrom` blocks or more is decoded on two threads:
// split at its restart markers, or, without any, from its start and from its middle until the
// two decoders meet. Below 32768 blocks a second thread costs more than it saves.
std::optional<DcPicture> decodeDc(std::string_view jpeg, bool rgb, int64_t parallelFrom = 32768);

}  // namespace mirelo::services::images

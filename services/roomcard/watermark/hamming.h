#pragma once

// The packet's bits as Hamming(15,11) codewords (data positions in format.h), most significant bit
// of each byte first, the last codeword padded with zeros. A single flipped bit per codeword is
// corrected; two are miscorrected. Linear in the bits; pure.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mirelo::services::roomcard::watermark {

// One 0 or 1 per element, 15 per codeword.
std::vector<uint8_t> encodeBits(std::string_view bytes);
// The bytes of whole codewords, corrected; a trailing partial codeword and padding bits that do
// not fill a byte are dropped. Only the low bit of each element counts.
std::string decodeBits(const std::vector<uint8_t>& bits);

}  // namespace mirelo::services::roomcard::watermark

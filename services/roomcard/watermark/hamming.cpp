// Hamming(15,11) coding of the packet; see hamming.h.
#include "hamming.h"

#include "format.h"

namespace mirelo::services::roomcard::watermark {

std::vector<uint8_t> encodeBits(std::string_view bytes) {
  std::vector<uint8_t> data;
  data.reserve(bytes.size() * 8 + 10);
  for (unsigned char byte : bytes) {
    for (int bit = 7; bit >= 0; --bit) data.push_back((byte >> bit) & 1);
  }
  while (data.size() % dataPositions.size()) data.push_back(0);
  std::vector<uint8_t> stream;
  stream.reserve(data.size() / dataPositions.size() * codewordBits);
  for (size_t group = 0; group < data.size(); group += dataPositions.size()) {
    uint8_t word[16] = {};
    for (size_t i = 0; i < dataPositions.size(); ++i) word[dataPositions[i]] = data[group + i];
    word[1] = word[3] ^ word[5] ^ word[7] ^ word[9] ^ word[11] ^ word[13] ^ word[15];
    word[2] = word[3] ^ word[6] ^ word[7] ^ word[10] ^ word[11] ^ word[14] ^ word[15];
    word[4] = word[5] ^ word[6] ^ word[7] ^ word[12] ^ word[13] ^ word[14] ^ word[15];
    word[8] = word[9] ^ word[10] ^ word[11] ^ word[12] ^ word[13] ^ word[14] ^ word[15];
    stream.insert(stream.end(), word + 1, word + 16);
  }
  return stream;
}

std::string decodeBits(const std::vector<uint8_t>& bits) {
  std::string out;
  unsigned accumulator = 0;
  int pending = 0;
  for (size_t group = 0; group + codewordBits <= bits.size(); group += codewordBits) {
    uint8_t word[16];
    for (int p = 1; p <= 15; ++p) word[p] = bits[group + p - 1] & 1;
    const int s1 = word[1] ^ word[3] ^ word[5] ^ word[7] ^ word[9] ^ word[11] ^ word[13] ^ word[15];
    const int s2 = word[2] ^ word[3] ^ word[6] ^ word[7] ^ word[10] ^ word[11] ^ word[14] ^ word[15];
    const int s4 = word[4] ^ word[5] ^ word[6] ^ word[7] ^ word[12] ^ word[13] ^ word[14] ^ word[15];
    const int s8 = word[8] ^ word[9] ^ word[10] ^ word[11] ^ word[12] ^ word[13] ^ word[14] ^ word[15];
    if (const int syndrome = s1 + 2 * s2 + 4 * s4 + 8 * s8) word[syndrome] ^= 1;
    for (int position : dataPositions) {
      accumulator = accumulator << 1 | word[position];
      if (++pending == 8) {
        out.push_back(static_cast<char>(accumulator));
        accumulator = 0;
        pending = 0;
      }
    }
  }
  return out;
}

}  // namespace mirelo::services::roomcard::watermark

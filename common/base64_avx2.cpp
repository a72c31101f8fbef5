// Base64 on AVX2: the shuffle-and-multiply encoding and the nibble-table decoding that SIMD Base64
// codecs use; a few instructions per 32 characters instead of a table lookup per 2 (bench/base64_bench
// has both). The encoder's input is loaded 4 bytes early per lane so that each 128-bit lane holds
// its 12 bytes where one shuffle can spread them into 16 six-bit groups; the decoder validates 32
// characters with two table lookups on their nibbles and packs their bits with two multiply-adds.
#include "base64_avx2.h"

#include <immintrin.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace mirelo::base64_avx2 {
namespace {

#define MIRELO_AVX2 __attribute__((target("avx2")))

// 24 bytes at `in` (bytes 24..27 are read too) into 32 six-bit values, one per byte.
MIRELO_AVX2 inline __m256i sixBits(const unsigned char* in) {
  const __m128i low = _mm_slli_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), 4);
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
  const __m256i input = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
  const __m256i spread =
      _mm256_shuffle_epi8(input, _mm256_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1, 14, 15, 13, 14, 11,
                                                 12, 10, 11, 8, 9, 7, 8, 5, 6, 4, 5));
  const __m256i t0 = _mm256_and_si256(spread, _mm256_set1_epi32(0x0FC0FC00));
  const __m256i t1 = _mm256_mulhi_epu16(t0, _mm256_set1_epi32(0x04000040));
  const __m256i t2 = _mm256_and_si256(spread, _mm256_set1_epi32(0x003F03F0));
  const __m256i t3 = _mm256_mullo_epi16(t2, _mm256_set1_epi32(0x01000010));
  return _mm256_or_si256(t1, t3);
}

// Six-bit values to their characters: one offset per range, picked by a table lookup.
MIRELO_AVX2 inline __m256i characters(__m256i values) {
  const __m256i offsets = _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0, 65, 71, -4,
                                           -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0);
  __m256i index = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
  index = _mm256_sub_epi8(index, _mm256_cmpgt_epi8(values, _mm256_set1_epi8(25)));
  return _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, index));
}

}  // namespace

namespace {
std::atomic<bool> wide{true};
}  // namespace

bool hasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has && wide.load(std::memory_order_relaxed);
}

void setWide(bool on) { wide.store(on, std::memory_order_relaxed); }

MIRELO_AVX2 size_t encode(const unsigned char* in, size_t size, char*& out) {
  size_t i = 0;
  for (; i + 28 <= size; i += 24, out += 32) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), characters(sixBits(in + i)));
  }
  return i;
}

MIRELO_AVX2 size_t encodeEscaped(const unsigned char* in, size_t size, char*& out) {
  size_t i = 0;
  alignas(32) char text[64];
  // 12 bytes left after a step leave room for its slack (up to 31 bytes past what it keeps).
  for (; i + 36 <= size; i += 24) {
    const __m256i chars = characters(sixBits(in + i));
    auto slashes = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(chars, _mm256_set1_epi8('/'))));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
    if (!slashes) {
      out += 32;
      continue;
    }
    // Most steps have a slash or none (1 in 64 characters is one): each one re-stores the rest of
    // the step one byte on, after its backslash.
    _mm256_store_si256(reinterpret_cast<__m256i*>(text), chars);
    std::memset(text + 32, 0, 32);
    size_t shift = 0;
    while (slashes) {
      const int at = __builtin_ctz(slashes);
      slashes &= slashes - 1;
      out[at + shift] = '\\';
      ++shift;
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + at + shift),
                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + at)));
    }
    out += 32 + shift;
  }
  return i;
}

MIRELO_AVX2 size_t decode(const unsigned char* in, size_t chars, char*& out, bool& bad) {
  const __m256i lowTable =
      _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A,
                       0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i highTable =
      _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10,
                       0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m256i rollTable = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                                             -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i mask2F = _mm256_set1_epi8(0x2F);
  const __m256i pack = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10, 9,
                                        8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
  size_t i = 0;
  for (; i + 32 < chars; i += 32, out += 24) {
    __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i highNibbles = _mm256_and_si256(_mm256_srli_epi32(text, 4), mask2F);
    const __m256i lowNibbles = _mm256_and_si256(text, mask2F);
    if (!_mm256_testz_si256(_mm256_shuffle_epi8(lowTable, lowNibbles), _mm256_shuffle_epi8(highTable, highNibbles))) {
      bad = true;
      return i;
    }
    const __m256i slash = _mm256_cmpeq_epi8(text, mask2F);
    text = _mm256_add_epi8(text, _mm256_shuffle_epi8(rollTable, _mm256_add_epi8(slash, highNibbles)));
    const __m256i pairs = _mm256_maddubs_epi16(text, _mm256_set1_epi32(0x01400140));
    const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, pack), lanes);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
  }
  return i;
}

}  // namespace mirelo::base64_avx2

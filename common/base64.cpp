#include "base64.h"

#include "base64_avx2.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace mirelo {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters for every 12-bit value: three input bytes become two lookups.
struct PairTable {
  char pairs[4096][2];
};

constexpr PairTable makePairs() {
  PairTable table{};
  for (int v = 0; v < 4096; ++v) {
    table.pairs[v][0] = kAlphabet[v >> 6];
    table.pairs[v][1] = kAlphabet[v & 63];
  }
  return table;
}

constexpr PairTable kPairs = makePairs();

// The same two characters with "/" escaped: up to four bytes, and how many are used.
struct EscapedPairTable {
  char text[4096][4];
  uint8_t length[4096];
};

constexpr EscapedPairTable makeEscapedPairs() {
  EscapedPairTable table{};
  for (int v = 0; v < 4096; ++v) {
    uint8_t n = 0;
    for (const char c : {kAlphabet[v >> 6], kAlphabet[v & 63]}) {
      if (c == '/') table.text[v][n++] = '\\';
      table.text[v][n++] = c;
    }
    table.length[v] = n;
  }
  return table;
}

constexpr EscapedPairTable kEscapedPairs = makeEscapedPairs();

}  // namespace

std::string base64Encode(std::string_view bytes) {
  std::string out;
  base64EncodeAppend(out, bytes);
  return out;
}

// Each pair is copied whole (four bytes) and the output advanced by its length: no branch per
// character; hence the bound's slack.
size_t base64EncodeEscaped(std::string_view bytes, char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  char* o = out;
  size_t i = base64_avx2::hasAvx2() ? base64_avx2::encodeEscaped(in, bytes.size(), o) : 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = in[i] << 16 | in[i + 1] << 8 | in[i + 2];
    const uint32_t high = v >> 12, low = v & 4095;
    std::memcpy(o, kEscapedPairs.text[high], 4);
    o += kEscapedPairs.length[high];
    std::memcpy(o, kEscapedPairs.text[low], 4);
    o += kEscapedPairs.length[low];
  }
  if (const size_t rest = bytes.size() - i) {
    const uint32_t v = in[i] << 16 | (rest == 2 ? in[i + 1] << 8 : 0);
    const char tail[4] = {kAlphabet[v >> 18], kAlphabet[v >> 12 & 63], rest == 2 ? kAlphabet[v >> 6 & 63] : '=', '='};
    for (const char c : tail) {
      if (c == '/') *o++ = '\\';
      *o++ = c;
    }
  }
  return static_cast<size_t>(o - out);
}

size_t base64DecodedSize(std::string_view text) {
  if (text.empty() || text.size() % 4) return 0;
  size_t padding = text.back() == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
  return text.size() / 4 * 3 - padding;
}

namespace {

// Decoding tables: each symbol's 6 bits already placed where they land in the three output bytes
// (as a little-endian word: byte 0 first), and bit 24 set for a character outside the alphabet,
// which no valid symbol sets. A quad is four lookups ORed; errors are collected across the whole
// text and checked once.
struct DecodeTables {
  uint32_t d[4][256];
};

constexpr uint32_t kBad = 0x01ffffff;

constexpr DecodeTables makeDecodeTables() {
  DecodeTables t{};
  for (int s = 0; s < 4; ++s)
    for (int c = 0; c < 256; ++c) t.d[s][c] = kBad;
  for (uint32_t i = 0; i < 64; ++i) {
    const auto c = static_cast<unsigned char>(kAlphabet[i]);
    t.d[0][c] = i << 2;
    t.d[1][c] = (i >> 4) | (i & 15) << 12;
    t.d[2][c] = (i >> 2) << 8 | (i & 3) << 22;
    t.d[3][c] = i << 16;
  }
  return t;
}

constexpr DecodeTables kDecode = makeDecodeTables();

inline uint32_t quad(const unsigned char* q) {
  return kDecode.d[0][q[0]] | kDecode.d[1][q[1]] | kDecode.d[2][q[2]] | kDecode.d[3][q[3]];
}

}  // namespace

bool base64DecodeTo(std::string_view text, char* out) {
  if (text.size() % 4) return false;
  if (text.empty()) return true;
  static_assert(std::endian::native == std::endian::little);
  const size_t padding = text.back() == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const size_t full = text.size() - (padding ? 4 : 0);  // characters in quads without padding
  uint32_t errors = 0;
  size_t i = 0;
  if (base64_avx2::hasAvx2()) {
    bool bad = false;
    i = base64_avx2::decode(in, full, out, bad);
    if (bad) return false;
  }
  // Eight characters at a time into one 8-byte store of which 6 bytes count: the 2 bytes past them
  // belong to the next quad, so this runs while at least one more quad follows.
  for (; i + 12 <= full; i += 8, out += 6) {
    const uint32_t a = quad(in + i), b = quad(in + i + 4);
    errors |= a | b;
    const uint64_t word = uint64_t(a) | uint64_t(b) << 24;
    std::memcpy(out, &word, 8);
  }
  for (; i < full; i += 4, out += 3) {
    const uint32_t a = quad(in + i);
    errors |= a;
    std::memcpy(out, &a, 3);
  }
  if (padding) {
    // "xx==" or "xxx=": the padding characters read as "A" (zero bits), the rest must be symbols.
    const unsigned char last[4] = {in[i], in[i + 1], padding == 1 ? in[i + 2] : static_cast<unsigned char>('A'), 'A'};
    const uint32_t a = quad(last);
    errors |= a;
    std::memcpy(out, &a, 3 - padding);
  }
  return !(errors & 0xff000000);
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4) return std::nullopt;
  std::string out(base64DecodedSize(text), '\0');
  if (!base64DecodeTo(text, out.data())) return std::nullopt;
  return out;
}

void base64UseWideSteps(bool on) { base64_avx2::setWide(on); }

void base64EncodeAppend(std::string& out, std::string_view bytes) {
  const size_t from = out.size();
  out.resize(from + base64EncodedSize(bytes.size()));  // within a reused string's capacity
  base64EncodeTo(bytes, out.data() + from);
}

size_t base64EncodeTo(std::string_view bytes, char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  char* target = out;
  size_t i = base64_avx2::hasAvx2() ? base64_avx2::encode(in, bytes.size(), target) : 0;
  for (; i + 3 <= bytes.size(); i += 3, target += 4) {
    const uint32_t v = in[i] << 16 | in[i + 1] << 8 | in[i + 2];
    std::memcpy(target, kPairs.pairs[v >> 12], 2);
    std::memcpy(target + 2, kPairs.pairs[v & 4095], 2);
  }
  if (const size_t rest = bytes.size() - i) {
    const uint32_t v = in[i] << 16 | (rest == 2 ? in[i + 1] << 8 : 0);
    target[0] = kAlphabet[v >> 18];
    target[1] = kAlphabet[v >> 12 & 63];
    target[2] = rest == 2 ? kAlphabet[v >> 6 & 63] : '=';
    target[3] = '=';
  }
  return base64EncodedSize(bytes.size());
}

}  // namespace mirelo

#include "base64.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace mirelo {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> makeTable() {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}

constexpr auto kTable = makeTable();

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
  out.resize((bytes.size() + 2) / 3 * 4);
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t i = 0, o = 0;
  char* target = out.data();
  for (; i + 3 <= bytes.size(); i += 3, o += 4) {
    const uint32_t v = in[i] << 16 | in[i + 1] << 8 | in[i + 2];
    std::memcpy(target + o, kPairs.pairs[v >> 12], 2);
    std::memcpy(target + o + 2, kPairs.pairs[v & 4095], 2);
  }
  if (const size_t rest = bytes.size() - i) {
    const uint32_t v = in[i] << 16 | (rest == 2 ? in[i + 1] << 8 : 0);
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[v >> 12 & 63];
    out[o++] = rest == 2 ? kAlphabet[v >> 6 & 63] : '=';
    out[o++] = '=';
  }
  return out;
}

// Each pair is copied whole (four bytes) and the output advanced by its length: no branch per
// character; hence the bound's slack.
size_t base64EncodeEscaped(std::string_view bytes, char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  char* o = out;
  size_t i = 0;
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

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4) return std::nullopt;
  std::string out;
  if (text.empty()) return out;
  const size_t padding = text.back() == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
  out.resize(base64DecodedSize(text));
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const size_t full = text.size() - (padding ? 4 : 0);
  size_t o = 0;
  for (size_t i = 0; i < full; i += 4) {
    const int a = kTable[in[i]], b = kTable[in[i + 1]], c = kTable[in[i + 2]], d = kTable[in[i + 3]];
    if ((a | b | c | d) < 0) return std::nullopt;
    const uint32_t v = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6 | uint32_t(d);
    out[o++] = static_cast<char>(v >> 16);
    out[o++] = static_cast<char>(v >> 8);
    out[o++] = static_cast<char>(v);
  }
  if (padding) {
    const unsigned char* q = in + full;
    const int a = kTable[q[0]], b = kTable[q[1]];
    const int c = padding == 1 ? kTable[q[2]] : 0;
    if ((a | b | c) < 0) return std::nullopt;
    const uint32_t v = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6;
    out[o++] = static_cast<char>(v >> 16);
    if (padding == 1) out[o++] = static_cast<char>(v >> 8);
  }
  return out;
}

}  // namespace mirelo

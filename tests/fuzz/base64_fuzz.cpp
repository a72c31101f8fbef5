// Strict Base64: whatever decodes has the size announced for it; every byte string survives a
// round trip. The decoder reads eight characters at a time; a plain one symbol at a time decoder
// is the reference it must agree with on every input, accepted or refused.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "base64.h"

using namespace mirelo;

namespace {

std::optional<std::string> referenceDecode(std::string_view text) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto value = [](char c) -> int {
    const char* at = c ? std::strchr(kAlphabet, c) : nullptr;
    return at ? static_cast<int>(at - kAlphabet) : -1;
  };
  if (text.size() % 4) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int padding = last && text[i + 3] == '=' ? (text[i + 2] == '=' ? 2 : 1) : 0;
    int v[4];
    for (int k = 0; k < 4; ++k) v[k] = k >= 4 - padding ? 0 : value(text[i + k]);
    if (v[0] < 0 || v[1] < 0 || v[2] < 0 || v[3] < 0) return std::nullopt;
    const uint32_t word = uint32_t(v[0]) << 18 | uint32_t(v[1]) << 12 | uint32_t(v[2]) << 6 | uint32_t(v[3]);
    out.push_back(static_cast<char>(word >> 16));
    if (padding < 2) out.push_back(static_cast<char>(word >> 8));
    if (padding < 1) out.push_back(static_cast<char>(word));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto decoded = base64Decode(input);
  if (decoded != referenceDecode(input)) __builtin_trap();
  if (decoded) {
    if (decoded->size() != base64DecodedSize(input)) __builtin_trap();
    if (base64Decode(base64Encode(*decoded)) != decoded) __builtin_trap();
  }
  const std::string encoded = base64Encode(input);
  if (encoded.size() != (size + 2) / 3 * 4 || base64Decode(encoded) != input) __builtin_trap();
  std::string appended = "x";
  base64EncodeAppend(appended, input);
  if (appended != "x" + encoded) __builtin_trap();
  return 0;
}

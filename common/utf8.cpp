#include "utf8.h"

#include <simdjson.h>

namespace mirelo {
namespace {

// Length of the well-formed sequence starting at bytes[i], or 0 with `bad` set to the length of the
// maximal ill-formed subpart to replace (Unicode's "maximal subpart" practice).
size_t sequenceLength(std::string_view bytes, size_t i, size_t& bad) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = at(i);
  bad = 1;
  if (lead < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= bytes.size()) {
      bad = k;
      return 0;
    }
    const unsigned char c = at(i + k);
    const unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
    if (c < min || c > max) {
      bad = k;
      return 0;
    }
  }
  return need + 1;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

bool isValidUtf8(std::string_view bytes) { return simdjson::validate_utf8(bytes.data(), bytes.size()); }

std::string replaceInvalidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  size_t i = 0;
  while (i < bytes.size()) {
    size_t bad;
    const size_t n = sequenceLength(bytes, i, bad);
    if (n) {
      out.append(bytes.data() + i, n);
      i += n;
    } else {
      out.append(kReplacement);
      i += bad;
    }
  }
  return out;
}

bool repairUtf8(std::string& bytes) {
  if (isValidUtf8(bytes)) return false;
  bytes = replaceInvalidUtf8(bytes);
  return true;
}

}  // namespace mirelo

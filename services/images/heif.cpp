// Recognising HEIF bytes (the ftyp box, at most 64 bytes read) and loading libvips' HEIF module
// by its installed path. The module and libheif with its decoders are mapped on first use only:
// a few megabytes and a few milliseconds that a session without such photos never pays.
#include "heif.h"

#include <gmodule.h>
#include <vips/vips.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "bytes.h"

#ifndef MIRELO_VIPS_HEIF_MODULE
#define MIRELO_VIPS_HEIF_MODULE ""
#endif

namespace mirelo::services::images {
namespace {

constexpr std::array<std::string_view, 10> kBrands{"heic", "heix", "heim", "heis", "hevc",
                                                   "hevx", "mif1", "msf1", "avif", "avis"};
constexpr size_t kMaxBoxRead = 64;

bool isBrand(std::string_view brand) {
  for (std::string_view known : kBrands) {
    if (brand == known) return true;
  }
  return false;
}

}  // namespace

bool looksLikeHeif(std::string_view data) {
  if (data.size() < 16 || data.substr(4, 4) != "ftyp") return false;
  const uint32_t box = bytes::readBig32(data, 0);
  const size_t end = std::min<size_t>({box, data.size(), kMaxBoxRead});
  if (isBrand(data.substr(8, 4))) return true;
  // Compatible brands follow the major brand and its version.
  for (size_t at = 16; at + 4 <= end; at += 4) {
    if (isBrand(data.substr(at, 4))) return true;
  }
  return false;
}

bool enableHeif() {
  static const bool loaded = [] {
    const char* path = MIRELO_VIPS_HEIF_MODULE;
    // The module registers its types when it is opened, and stays resident. Only loaders are
    // reachable from bytes; they were blocked with every other before they existed.
    if (!*path || !g_module_supported() ||
        !g_module_open(path, static_cast<GModuleFlags>(G_MODULE_BIND_LAZY | G_MODULE_BIND_LOCAL))) {
      return false;
    }
    if (!g_type_from_name("VipsForeignLoadHeif")) return false;
    vips_operation_block_set("VipsForeignLoadHeif", FALSE);
    return true;
  }();
  return loaded;
}

}  // namespace mirelo::services::images

#pragma once

// HEIC and AVIF: libvips reads them with its HEIF module (libheif, with libde265 for HEVC and
// dav1d or libaom for AV1), which is loaded only when such bytes first arrive.

#include <string_view>

namespace mirelo::services::images {

// Whether the bytes begin with an ISO base media "ftyp" box naming a HEIF or AVIF brand.
bool looksLikeHeif(std::string_view data);

// Loads libvips' HEIF module once and allows its loaders. On the main thread,
// after `initialise()`. False when the module is not installed: HEIF bytes then stay unreadable.
bool enableHeif();

}  // namespace mirelo::services::images

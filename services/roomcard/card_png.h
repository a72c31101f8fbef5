#pragma once

// The PNG of a robust card. libvips' writer stores a card's rows unfiltered and deflates them with
// zlib at level 6: a third of the whole encode, and a file of nearly the raw size. Here each row
// is filtered with Up (the byte above subtracted) and the whole stream compressed by libdeflate at
// its fastest level (`images::writePng`): half the bytes in a seventh of the time. The pixels, the header and the
// pHYs chunk are those libvips writes; only the compressed data differs.

#include <string>

#include "images/images.h"

namespace mirelo::services::roomcard {

// The card as PNG: signature, IHDR, pHYs, IDAT, IEND. Anything but 8-bit RGB or RGBA pixels in
// memory goes through `images::png`.
std::string cardPng(const images::Image& card);

}  // namespace mirelo::services::roomcard

#pragma once

// The picture from the frame's decoded planes: interleaved samples, YCbCr converted to RGB as
// libjpeg converts it (fixed point, its tables and rounding). Costs one pass over the pixels and
// four tables of 256 entries.

#include "frame.h"
#include "images/jpeg_dc.h"

namespace mirelo::services::images::jpeg_dc {

// `rgb` says three components are RGB already rather than YCbCr.
DcPicture toPicture(const Frame& frame, bool rgb);

}  // namespace mirelo::services::images::jpeg_dc

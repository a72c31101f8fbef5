#pragma once

// Decoded pixels brought to sRGB, so that what is drawn or written no longer needs a profile.

#include "images.h"

namespace mirelo::services::images {

// The image in sRGB without a colour profile attached. A picture with an embedded profile is
// converted with it (relative colorimetric); CMYK without one goes through libvips' own CMYK
// profile. An untagged RGB or grey picture is returned as it is, the same pixels; a tagged grey one
// keeps its grey levels and loses the profile. A profile that cannot be used (broken, or not for
// the picture's colour space) is dropped and the pixels kept as they are (CMYK: converted
// without a profile). Costs one pass over the pixels, only for tagged or CMYK pictures.
Image inSrgb(const Image& decoded);

}  // namespace mirelo::services::images

#pragma once

#include "json.h"
#include "platform/panels.h"

namespace mirelo::services::images {

// The image and QR commands. Each returns its reply value or throws its error.
Json chooseImages(platform::Panels& panels, const Json& payload);
Json normalizeImage(const Json& payload);
Json qrGenerate(const Json& payload);
Json qrDecode(const Json& payload);

}  // namespace mirelo::services::images

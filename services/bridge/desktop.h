#pragma once

#include "json.h"
#include "platform/pasteboard.h"

namespace mirelo::services {

// The plain-text clipboard commands.
Json clipboardText(platform::Pasteboard& pasteboard, const Json& payload);
Json clipboardWriteText(platform::Pasteboard& pasteboard, const Json& payload);

}  // namespace mirelo::services

#pragma once

#include "platform/platform.h"

namespace mirelo::services {

// What the commands reach: the process-wide objects made at start-up.
struct Services {
  platform::Platform& platform;
};

}  // namespace mirelo::services

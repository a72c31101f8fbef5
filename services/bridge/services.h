#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace mirelo::services {

// What the commands reach: the process-wide objects made at start-up.
struct Services {
  platform::Platform& platform;
  uint32_t activityAssertion = 0;  // the power assertion held, 0 for none; main thread only
};

}  // namespace mirelo::services

#pragma once

#include <memory>

#include "platform/system_events.h"

namespace mirelo::services {

// Registers the observers of screen lock, sleep and wake, each emitting its event line.
std::unique_ptr<platform::SystemEventObservers> observeSystemEvents();

}  // namespace mirelo::services

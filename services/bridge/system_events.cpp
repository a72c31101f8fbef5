#include "system_events.h"

#include "protocol/output.h"

namespace mirelo::services {

std::unique_ptr<platform::SystemEventObservers> observeSystemEvents() {
  const auto event = [](const char* name) { return [name] { emit(Json{{"event", name}}); }; };
  return platform::observeSystemEvents({event("screen-locked"), event("system-sleep"), event("system-wake")});
}

}  // namespace mirelo::services

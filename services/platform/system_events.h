#pragma once

#include <functional>
#include <memory>

namespace mirelo::services::platform {

struct SystemEventHandlers {
  std::function<void()> screenLocked;  // once per lock
  std::function<void()> willSleep;
  std::function<void()> didWake;
};

// Keeps the observers registered for its lifetime. Handlers run on the main thread.
class SystemEventObservers {
 public:
  virtual ~SystemEventObservers() = default;
};

// Registers the observers on the desktop's own sources. A source that is missing (no bus, no
// service) delivers no events; that is never an error.
std::unique_ptr<SystemEventObservers> observeSystemEvents(SystemEventHandlers handlers);

}  // namespace mirelo::services::platform

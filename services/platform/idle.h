#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace mirelo::services::platform {

// The time since the user's last input. Main thread.
class IdleTime {
 public:
  virtual ~IdleTime() = default;
  // Seconds since the last keyboard, pointer or other input; 0 when nothing can tell.
  virtual double secondsSinceLastInput() = 0;
};

// Milliseconds since the last input as one source counts them; nothing when it cannot tell.
using IdleMilliseconds = std::function<std::optional<uint64_t>()>;

// Mutter's IdleMonitor, else the session's org.freedesktop.ScreenSaver, else `fromX` (asked only
// when neither answers), else 0.
std::unique_ptr<IdleTime> makeIdleTime(IdleMilliseconds fromX);

// The X server's MIT-SCREEN-SAVER extension over an XCB connection of its own, made when a display
// is reachable; null otherwise.
IdleMilliseconds makeXIdleMilliseconds();

}  // namespace mirelo::services::platform

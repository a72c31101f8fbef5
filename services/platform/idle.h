#pragma once

#include <memory>

namespace mirelo::services::platform {

// The time since the user's last input. Main thread.
class IdleTime {
 public:
  virtual ~IdleTime() = default;
  // Seconds since the last keyboard, pointer or other input; 0 when nothing can tell.
  virtual double secondsSinceLastInput() = 0;
};

// Mutter's IdleMonitor, else the session's org.freedesktop.ScreenSaver, else the X server's
// MIT-SCREEN-SAVER extension (when `haveDisplay`), else 0.
std::unique_ptr<IdleTime> makeIdleTime(bool haveDisplay);

}  // namespace mirelo::services::platform

#pragma once

namespace mirelo::services::platform {

// Whether the X display opened at start-up is still there. The X server may go away under a
// running program (a session restart, a crashed Xwayland): from then on the program keeps serving,
// and display commands answer as they do without a display. Main thread only.
bool displayAvailable();

}  // namespace mirelo::services::platform

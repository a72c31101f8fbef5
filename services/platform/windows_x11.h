#pragma once

#include <gtk/gtk.h>

#include <functional>

namespace mirelo::services::platform {

// Another X client may destroy one of our windows (XDestroyWindow, `xdotool windowclose`). The
// toolkit does not survive that by itself: its GL renderer asserts on a window destroyed under it,
// and its X error handler ends the process on the errors that requests to the dead window cause.

// Called by `initialiseGtk` once the display is open: X errors no toolkit trap asked for
// (requests to a window someone else destroyed, say) are ignored instead of ending the process;
// the toolkit's own traps keep getting theirs. Starts watching for windows destroyed elsewhere.
void watchToolkitWindows(GdkDisplay* display);

// The connection to the X server closed under us (another client's XKillClient, a server that
// ended). The toolkit would go on drawing its mapped windows over the dead connection and trip
// over replies that never came, so every window is offered to the handlers below as destroyed
// elsewhere, from the next iteration of the main loop, ahead of the toolkit's drawing. Callable
// from Xlib's I/O error exit handler.
void releaseWindowsOfClosedConnection();

// Called, on the main thread and outside any toolkit signal, when `surface` (one of ours, not
// destroyed by us) was destroyed by another client. A handler that owns it tears its widget down
// at once (the surface is destroyed on return; X errors meanwhile are ignored) and returns true;
// others return false. The toolkit is told of the destroyed window only after that, as of one it
// destroyed itself. A surface nobody claims is left to the toolkit as it is.
using DestroyedElsewhere = std::function<bool(GdkSurface* surface)>;

// Watches for windows destroyed elsewhere while the returned id is held; `unwatch` ends it.
unsigned watchDestroyedElsewhere(DestroyedElsewhere handler);
void unwatchDestroyedElsewhere(unsigned id);

// Whether `surface` belongs to `window` (the window's own, or a popover's inside it).
bool surfaceOf(GtkWindow* window, GdkSurface* surface);

}  // namespace mirelo::services::platform

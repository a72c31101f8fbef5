// Our toolkit windows under other X clients: X errors are never fatal, and a window another
// client destroyed is torn down by its owner before the toolkit hears of it.
// Costs one signal handler on the display and a table look-up per DestroyNotify.
#include "windows_x11.h"

#include <gdk/x11/gdkx.h>

#include <map>
#include <vector>

namespace mirelo::services::platform {
namespace {

struct Watch {
  std::map<unsigned, DestroyedElsewhere> handlers;
  unsigned next = 1;
  gulong signal = 0;
  std::vector<XEvent> pending;  // DestroyNotify events held back from the toolkit
  guint idle = 0;
};

Watch& watch() {
  static Watch* const instance = new Watch;
  return *instance;
}

// Each held-back window: offered to the handlers (X errors meanwhile trapped), then handed to the
// toolkit, which by then finds the window destroyed by itself if a handler took it.
gboolean settle(gpointer) {
  Watch& w = watch();
  w.idle = 0;
  GdkDisplay* display = gdk_display_get_default();
  const std::vector<XEvent> events = std::move(w.pending);
  w.pending.clear();
  for (XEvent event : events) {
    GdkSurface* surface = gdk_x11_surface_lookup_for_display(display, event.xdestroywindow.window);
    if (surface && !gdk_surface_is_destroyed(surface)) {
      g_object_ref(surface);
      gdk_x11_display_error_trap_push(display);
      // A copy: a handler may unwatch itself.
      const auto handlers = w.handlers;
      for (const auto& [id, handler] : handlers) {
        if (handler(surface)) break;
      }
      gdk_x11_display_error_trap_pop_ignored(display);
      g_object_unref(surface);
    }
    XPutBackEvent(gdk_x11_display_get_xdisplay(display), &event);
  }
  return G_SOURCE_REMOVE;
}

gboolean onXEvent(GdkX11Display* display, gpointer data, gpointer) {
  const auto* event = static_cast<const XEvent*>(data);
  if (event->type != DestroyNotify) return FALSE;
  Watch& w = watch();
  if (w.handlers.empty()) return FALSE;
  GdkSurface* surface = gdk_x11_surface_lookup_for_display(GDK_DISPLAY(display), event->xdestroywindow.window);
  // Our own destroys reach the toolkit with the surface already destroyed: those are its own.
  if (!surface || gdk_surface_is_destroyed(surface) || event->xdestroywindow.window != event->xdestroywindow.event) {
    return FALSE;
  }
  w.pending.push_back(*event);
  if (!w.idle) w.idle = g_idle_add_full(G_PRIORITY_HIGH_IDLE, settle, nullptr, nullptr);
  return TRUE;
}

// Every window of ours is offered to the handlers, as if destroyed elsewhere.
gboolean onConnectionClosed(gpointer) {
  GListModel* toplevels = gtk_window_get_toplevels();
  std::vector<GtkWindow*> windows;
  for (guint i = 0, n = g_list_model_get_n_items(toplevels); i < n; ++i) {
    windows.push_back(GTK_WINDOW(g_list_model_get_item(toplevels, i)));  // a reference of ours
  }
  const auto handlers = watch().handlers;
  for (GtkWindow* window : windows) {
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
    if (surface && !gdk_surface_is_destroyed(surface)) {
      for (const auto& [id, handler] : handlers) {
        if (handler(surface)) break;
      }
    }
    g_object_unref(window);
  }
  return G_SOURCE_REMOVE;
}

}  // namespace

void watchToolkitWindows(GdkDisplay* display) {
  if (!GDK_IS_X11_DISPLAY(display)) return;
  Watch& w = watch();
  if (w.signal) return;
  // The toolkit installs its own X error handler whenever it traps errors and ends the process on
  // any error no trap covers. One trap that is never popped covers them all; traps pushed later
  // still get the errors of their own requests first.
  gdk_x11_display_error_trap_push(display);
  w.signal = g_signal_connect(display, "xevent", G_CALLBACK(onXEvent), nullptr);
}

void releaseWindowsOfClosedConnection() {
  // At once, before the toolkit's drawing runs again: it is found by the next iteration, ahead of
  // the toolkit's sources (events are handled at the default priority, drawing below it).
  g_idle_add_full(G_PRIORITY_HIGH, onConnectionClosed, nullptr, nullptr);
}

unsigned watchDestroyedElsewhere(DestroyedElsewhere handler) {
  Watch& w = watch();
  const unsigned id = w.next++;
  w.handlers.emplace(id, std::move(handler));
  return id;
}

void unwatchDestroyedElsewhere(unsigned id) { watch().handlers.erase(id); }

bool surfaceOf(GtkWindow* window, GdkSurface* surface) {
  if (!window || !surface) return false;
  GtkNative* native = gtk_native_get_for_surface(surface);
  if (!native) return false;
  return GTK_WIDGET(native) == GTK_WIDGET(window) || gtk_widget_get_root(GTK_WIDGET(native)) == GTK_ROOT(window);
}

}  // namespace mirelo::services::platform

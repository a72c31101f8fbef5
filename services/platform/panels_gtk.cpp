// File panels: GtkFileChooserNative (the desktop portal inside a sandbox, GTK's own dialog
// outside), run modally in a nested iteration of the main context.
#include <fcntl.h>
#include <gdk/x11/gdkx.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include "display.h"
#include "glib_handle.h"
#include "panels_gtk.h"
#include "windows_x11.h"

namespace mirelo::services::platform {
namespace {

class GtkPanels final : public Panels {
 public:
  std::vector<std::string> chooseFiles(const Open& options) override {
    const Native native = panel(options.message, GTK_FILE_CHOOSER_ACTION_OPEN, options.types);
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(native.get());
    gtk_file_chooser_set_select_multiple(chooser, options.multiple);
    std::vector<std::string> uris;
    if (run(native.get()) == GTK_RESPONSE_ACCEPT) {
      const glib::Object<GListModel> files(gtk_file_chooser_get_files(chooser));
      for (guint i = 0, n = g_list_model_get_n_items(files.get()); i < n; ++i) {
        const glib::Object<GFile> file(G_FILE(g_list_model_get_item(files.get(), i)));
        uris.emplace_back(glib::Chars(g_file_get_uri(file.get())).get());
      }
    }
    return uris;
  }

  std::optional<std::string> chooseSaveLocation(const Save& options) override {
    const Native native = panel(options.message, GTK_FILE_CHOOSER_ACTION_SAVE, options.types);
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(native.get());
    gtk_file_chooser_set_current_name(chooser, options.proposedName.c_str());
    gtk_file_chooser_set_create_folders(chooser, options.canCreateFolders);
    std::optional<std::string> path;
    if (run(native.get()) == GTK_RESPONSE_ACCEPT) {
      if (const glib::Object<GFile> file(gtk_file_chooser_get_file(chooser)); file) {
        if (const glib::Chars local(g_file_get_path(file.get())); local) path = local.get();
      }
    }
    return path;
  }

 private:
  using Native = glib::Object<GtkFileChooserNative>;

  // A panel titled `message` with one filter of that name by suffix (any case).
  static Native panel(const std::string& message, GtkFileChooserAction action, const std::vector<std::string>& types) {
    Native native(gtk_file_chooser_native_new(message.c_str(), nullptr, action, nullptr, nullptr));
    const glib::Object<GtkFileFilter> filter(gtk_file_filter_new());
    gtk_file_filter_set_name(filter.get(), message.c_str());
    for (const auto& suffix : types) gtk_file_filter_add_suffix(filter.get(), suffix.c_str());
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(native.get()), filter.get());
    return native;
  }

  // Shows the panel and iterates the main context until it answers. Requests read meanwhile wait
  // in the main queue, whose source does not run recursively.
  static int run(GtkFileChooserNative* native) {
    struct State {
      int response = GTK_RESPONSE_NONE;
      bool done = false;
    } state;
    const gulong handler =
        g_signal_connect(native, "response", G_CALLBACK(+[](GtkNativeDialog*, int response, State* s) {
                           s->response = response;
                           s->done = true;
                         }),
                         &state);
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(native), TRUE);
    // The toolkit's own dialog (not the portal's) is a window of ours: destroyed by another
    // client, it is dismissed.
    const unsigned watching = watchDestroyedElsewhere([&](GdkSurface* surface) {
      GtkNative* owner = gtk_native_get_for_surface(surface);
      GtkRoot* root = owner ? gtk_widget_get_root(GTK_WIDGET(owner)) : nullptr;
      if (!root || !GTK_IS_FILE_CHOOSER(root)) return false;
      state.response = GTK_RESPONSE_CANCEL;
      state.done = true;
      gtk_native_dialog_destroy(GTK_NATIVE_DIALOG(native));
      return true;
    });
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(native));
    while (!state.done && displayAvailable()) g_main_context_iteration(nullptr, TRUE);
    unwatchDestroyedElsewhere(watching);
    g_signal_handler_disconnect(native, handler);
    gtk_native_dialog_destroy(GTK_NATIVE_DIALOG(native));
    return state.response;
  }
};

bool displayLost = false;

// Xlib ends the process when the connection to the X server breaks, after its I/O error handler
// (the toolkit's exits too). Ours does nothing, and the exit handler is the one place to keep the
// process: the display is marked lost, and its socket is
// swapped for a pipe that never becomes readable, so the toolkit's event source does not spin on
// a dead connection.
void keepRunningWithoutDisplay(Display* display, void*) {
  if (!displayLost) releaseWindowsOfClosedConnection();
  displayLost = true;
  int quiet[2];
  if (::pipe2(quiet, O_CLOEXEC) == 0) {
    ::dup3(quiet[0], ConnectionNumber(display), O_CLOEXEC);
    ::close(quiet[0]);  // quiet[1] stays open for good: no end of file, no hang-up
  }
}

// A panel shown on a display that is gone would never answer: it answers as without a display.
class PanelsWhileDisplayed final : public Panels {
 public:
  std::vector<std::string> chooseFiles(const Open& options) override {
    return displayAvailable() ? gtk_.chooseFiles(options) : none_->chooseFiles(options);
  }
  std::optional<std::string> chooseSaveLocation(const Save& options) override {
    return displayAvailable() ? gtk_.chooseSaveLocation(options) : none_->chooseSaveLocation(options);
  }

 private:
  GtkPanels gtk_;
  std::unique_ptr<Panels> none_ = makeNoPanels();
};

}  // namespace

bool displayAvailable() { return !displayLost; }

bool initialiseGtk() {
  // X11 only: XWayland serves Wayland sessions, and the clipboard code speaks X11.
  gdk_set_allowed_backends("x11");
  // The locale was set at start-up, before any thread ran; changing it now would race with them.
  gtk_disable_setlocale();
  if (!gtk_init_check()) return false;
  if (GdkDisplay* display = gdk_display_get_default(); display && GDK_IS_X11_DISPLAY(display)) {
    XSetIOErrorHandler([](Display*) { return 0; });
    XSetIOErrorExitHandler(gdk_x11_display_get_xdisplay(display), keepRunningWithoutDisplay, nullptr);
    watchToolkitWindows(display);
  }
  return true;
}

std::unique_ptr<Panels> makePanels(bool haveDisplay) {
  if (haveDisplay) return std::make_unique<PanelsWhileDisplayed>();
  return makeNoPanels();
}

}  // namespace mirelo::services::platform

// File panels: GtkFileChooserNative (the desktop portal inside a sandbox, GTK's own dialog
// outside), run modally in a nested iteration of the main context.
#include <gtk/gtk.h>

#include "panels_gtk.h"

namespace mirelo::services::platform {
namespace {

class GtkPanels final : public Panels {
 public:
  std::vector<std::string> chooseFiles(const Open& options) override {
    GtkFileChooserNative* native = gtk_file_chooser_native_new(options.message.c_str(), nullptr,
                                                               GTK_FILE_CHOOSER_ACTION_OPEN, nullptr, nullptr);
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(native);
    gtk_file_chooser_set_select_multiple(chooser, options.multiple);
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, options.message.c_str());
    for (const auto& suffix : options.types) gtk_file_filter_add_suffix(filter, suffix.c_str());  // any case
    gtk_file_chooser_add_filter(chooser, filter);
    g_object_unref(filter);

    std::vector<std::string> uris;
    if (run(native) == GTK_RESPONSE_ACCEPT) {
      GListModel* files = gtk_file_chooser_get_files(chooser);
      for (guint i = 0, n = g_list_model_get_n_items(files); i < n; ++i) {
        GFile* file = G_FILE(g_list_model_get_item(files, i));
        gchar* uri = g_file_get_uri(file);
        uris.emplace_back(uri);
        g_free(uri);
        g_object_unref(file);
      }
      g_object_unref(files);
    }
    g_object_unref(native);
    return uris;
  }

  std::optional<std::string> chooseSaveLocation(const Save& options) override {
    GtkFileChooserNative* native = gtk_file_chooser_native_new(options.message.c_str(), nullptr,
                                                               GTK_FILE_CHOOSER_ACTION_SAVE, nullptr, nullptr);
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(native);
    gtk_file_chooser_set_current_name(chooser, options.proposedName.c_str());
    gtk_file_chooser_set_create_folders(chooser, options.canCreateFolders);
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, options.message.c_str());
    for (const auto& suffix : options.types) gtk_file_filter_add_suffix(filter, suffix.c_str());
    gtk_file_chooser_add_filter(chooser, filter);
    g_object_unref(filter);

    std::optional<std::string> path;
    if (run(native) == GTK_RESPONSE_ACCEPT) {
      if (GFile* file = gtk_file_chooser_get_file(chooser)) {
        if (gchar* local = g_file_get_path(file)) {
          path = local;
          g_free(local);
        }
        g_object_unref(file);
      }
    }
    g_object_unref(native);
    return path;
  }

 private:
  // Shows the panel and iterates the main context until it answers. Requests read meanwhile wait
  // in the main queue, whose source does not run recursively.
  static int run(GtkFileChooserNative* native) {
    struct State {
      int response = GTK_RESPONSE_NONE;
      bool done = false;
    } state;
    const gulong handler = g_signal_connect(native, "response", G_CALLBACK(+[](GtkNativeDialog*, int response, State* s) {
                                              s->response = response;
                                              s->done = true;
                                            }),
                                            &state);
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(native), TRUE);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(native));
    while (!state.done) g_main_context_iteration(nullptr, TRUE);
    g_signal_handler_disconnect(native, handler);
    gtk_native_dialog_destroy(GTK_NATIVE_DIALOG(native));
    return state.response;
  }
};

// Without a display no panel can be shown: it answers as if the user cancelled.
class NoPanels final : public Panels {
 public:
  std::vector<std::string> chooseFiles(const Open&) override { return {}; }
  std::optional<std::string> chooseSaveLocation(const Save&) override { return std::nullopt; }
};

}  // namespace

bool initialiseGtk() {
  // X11 only: XWayland serves Wayland sessions, and the clipboard code speaks X11.
  gdk_set_allowed_backends("x11");
  return gtk_init_check();
}

std::unique_ptr<Panels> makePanels(bool haveDisplay) {
  if (haveDisplay) return std::make_unique<GtkPanels>();
  return std::make_unique<NoPanels>();
}

}  // namespace mirelo::services::platform

// The character palette: a small GTK window whose GtkEmojiChooser (a popover) opens at once. A pick
// goes to the clipboard as plain text, through our own pasteboard, and closes the window; closing the
// chooser or the window without a pick just closes it.
#include <gtk/gtk.h>

#include "display.h"
#include "palette.h"
#include "windows_x11.h"

namespace mirelo::services::platform {
namespace {

constexpr const char* kTitle = "Mirelo 表情与符号";

class GtkCharacterPalette final : public CharacterPalette {
 public:
  // Its window or chooser destroyed by another client: dismissed, as by Escape.
  explicit GtkCharacterPalette(Pasteboard& pasteboard)
      : pasteboard_(pasteboard), watching_(watchDestroyedElsewhere([this](GdkSurface* surface) {
          if (!surfaceOf(window_, surface)) return false;
          close();
          return true;
        })) {}

  ~GtkCharacterPalette() override {
    unwatchDestroyedElsewhere(watching_);
    if (window_) gtk_window_destroy(window_);
  }

  void show() override {
    if (!displayAvailable()) return;  // the X server went away: as without a display
    if (closing_) close();  // picked or dismissed already: a fresh palette
    if (!window_) open();
    gtk_window_present(window_);
    gtk_popover_popup(chooser_);
  }

 private:
  void open() {
    window_ = GTK_WINDOW(gtk_window_new());
    gtk_window_set_title(window_, kTitle);
    gtk_window_set_default_size(window_, 360, 40);
    // The window is only the chooser's anchor; the chooser is what the user sees.
    GtkWidget* anchor = gtk_label_new(kTitle);
    gtk_window_set_child(window_, anchor);
    chooser_ = GTK_POPOVER(gtk_emoji_chooser_new());
    gtk_popover_set_position(chooser_, GTK_POS_BOTTOM);
    gtk_widget_set_parent(GTK_WIDGET(chooser_), anchor);
    g_signal_connect(chooser_, "emoji-picked", G_CALLBACK(+[](GtkEmojiChooser*, const char* text, gpointer self) {
                       static_cast<GtkCharacterPalette*>(self)->picked(text);
                     }),
                     this);
    // "closed" follows a pick too; either way the palette is done.
    g_signal_connect(chooser_, "closed", G_CALLBACK(+[](GtkPopover*, gpointer self) {
                       static_cast<GtkCharacterPalette*>(self)->scheduleClose();
                     }),
                     this);
    g_signal_connect(window_, "close-request", G_CALLBACK(+[](GtkWindow*, gpointer self) {
                       static_cast<GtkCharacterPalette*>(self)->close();
                       return TRUE;
                     }),
                     this);
  }

  void picked(const char* text) {
    PasteboardItem item;
    for (std::string_view type : kTextTypes) item.entries.emplace_back(std::string(type), text);
    pasteboard_.write(std::move(item));
  }

  // Not from inside the popover's own signal: the popover is still in use while it emits.
  void scheduleClose() {
    if (closing_) return;
    closing_ = g_idle_add(
        [](gpointer self) {
          auto* palette = static_cast<GtkCharacterPalette*>(self);
          palette->closing_ = 0;
          palette->close();
          return G_SOURCE_REMOVE;
        },
        this);
  }

  void close() {
    if (closing_) {
      g_source_remove(closing_);
      closing_ = 0;
    }
    if (!window_) return;
    gtk_widget_unparent(GTK_WIDGET(chooser_));
    gtk_window_destroy(window_);
    window_ = nullptr;
    chooser_ = nullptr;
  }

  Pasteboard& pasteboard_;
  GtkWindow* window_ = nullptr;
  GtkPopover* chooser_ = nullptr;
  guint closing_ = 0;
  unsigned watching_;
};

}  // namespace

std::unique_ptr<CharacterPalette> makeCharacterPalette(bool haveDisplay, Pasteboard& pasteboard) {
  if (haveDisplay) return std::make_unique<GtkCharacterPalette>(pasteboard);
  return makeNoCharacterPalette();
}

}  // namespace mirelo::services::platform

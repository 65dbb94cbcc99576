#include "ui/edialogs.h"

#include <gtk/gtk.h>

#include "base/state.h"

namespace {

enum class Buttons { kOk, kYesNo };
enum class Ending { kNoWait, kWaitSelfDestroy, kWaitAnswer };

struct Member {
  Buttons buttons;
  const char* default_text;
  const char* stock_icon;  // none: the picture "exit.png"
  bool selectable;
  Ending ending;
};

constexpr Member kWarn{Buttons::kOk, "Unhandled warning", GTK_STOCK_DIALOG_WARNING, false,
                       Ending::kNoWait};
constexpr Member kInfo{Buttons::kOk, "NULL", GTK_STOCK_DIALOG_INFO, true, Ending::kNoWait};
constexpr Member kError{Buttons::kOk, "Unhandled error", GTK_STOCK_DIALOG_ERROR, false,
                        Ending::kWaitSelfDestroy};
constexpr Member kConfirm{Buttons::kYesNo, "Are You sure?", GTK_STOCK_DIALOG_QUESTION, false,
                          Ending::kWaitAnswer};
constexpr Member kExit{Buttons::kYesNo, "Are You sure?", nullptr, false, Ending::kWaitAnswer};

constexpr char kExitPicture[] = "exit.png";

// Builds, shows and (for the waiting members) runs one dialog; returns the response code.
int run_dialog(const Member& m, const char* title, const char* text) {
  GtkWindow* parent = main_window ? GTK_WINDOW(main_window) : nullptr;
  GtkWidget* dialog =
      m.buttons == Buttons::kOk
          ? gtk_dialog_new_with_buttons(title, parent, GTK_DIALOG_MODAL, GTK_STOCK_OK,
                                        GTK_RESPONSE_OK, nullptr)
          : gtk_dialog_new_with_buttons(title, parent, GTK_DIALOG_MODAL, GTK_STOCK_YES,
                                        GTK_RESPONSE_YES, GTK_STOCK_NO, GTK_RESPONSE_NO, nullptr);
  GtkWidget* label = gtk_label_new(text ? text : m.default_text);
  GtkWidget* box = gtk_hbox_new(FALSE, 0);
  gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dialog)->vbox), box, FALSE, TRUE, 0);
  if (m.selectable) gtk_label_set_selectable(GTK_LABEL(label), TRUE);
  GtkWidget* icon = m.stock_icon ? gtk_image_new_from_stock(m.stock_icon, GTK_ICON_SIZE_DIALOG)
                                 : gtk_image_new_from_file(kExitPicture);
  gtk_box_pack_start(GTK_BOX(box), icon, FALSE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
  if (m.ending != Ending::kWaitAnswer) {
    g_signal_connect_swapped(dialog, "response", G_CALLBACK(gtk_widget_destroy), dialog);
  }
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);

  if (m.ending == Ending::kNoWait) {
    gtk_widget_show_all(dialog);
    return GTK_RESPONSE_NONE;
  }
  gtk_widget_show(box);
  gtk_widget_show(icon);
  gtk_widget_show(label);
  const int response = gtk_dialog_run(GTK_DIALOG(dialog));
  if (m.ending == Ending::kWaitAnswer) {
    gtk_widget_destroy(icon);
    gtk_widget_destroy(label);
    gtk_widget_destroy(box);
    gtk_widget_destroy(dialog);
  }
  return response;
}

}  // namespace

void warn_dialog_run(const char* title, const char* text) {
  run_dialog(kWarn, title, text);
}

void info_dialog_run(const char* title, const char* text) {
  run_dialog(kInfo, title, text);
}

void error_dialog_run(const char* title, const char* text) {
  run_dialog(kError, title, text);
}

int confirm_dialog_run(const char* title, const char* text) {
  return run_dialog(kConfirm, title, text) == GTK_RESPONSE_YES ? 1 : 0;
}

int exit_dialog_run(const char* title, const char* text) {
  return run_dialog(kExit, title, text) == GTK_RESPONSE_YES ? 1 : 0;
}

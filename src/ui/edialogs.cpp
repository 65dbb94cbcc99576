#include "ui/edialogs.h"

#include <gtk/gtk.h>

#include <memory>

#include "base/state.h"

namespace {

enum class Buttons { kOk, kYesNo };
enum class Ending { kNoWait, kWaitSelfDestroy, kWaitAnswer };

struct Member {
  Buttons buttons;
  const char* default_text;
  const char* icon_name;  // none: the picture "exit.png"
  bool selectable;
  Ending ending;
};

constexpr Member kWarn{Buttons::kOk, "Unhandled warning", "dialog-warning", false, Ending::kNoWait};
constexpr Member kInfo{Buttons::kOk, "NULL", "dialog-information", true, Ending::kNoWait};
constexpr Member kError{Buttons::kOk, "Unhandled error", "dialog-error", false,
                        Ending::kWaitSelfDestroy};
constexpr Member kConfirm{Buttons::kYesNo, "Are You sure?", "dialog-question", false,
                          Ending::kWaitAnswer};
constexpr Member kExit{Buttons::kYesNo, "Are You sure?", nullptr, false, Ending::kWaitAnswer};

constexpr char kExitPicture[] = "exit.png";

// Builds, shows and (for the waiting members) runs one dialog; returns the response code.
int run_dialog(const Member& m, const char* title, const char* text) {
  GtkWindow* parent = main_window ? GTK_WINDOW(main_window) : nullptr;
  GtkWidget* dialog =
      m.buttons == Buttons::kOk
          ? gtk_dialog_new_with_buttons(title, parent, GTK_DIALOG_MODAL, "_OK", GTK_RESPONSE_OK,
                                        nullptr)
          : gtk_dialog_new_with_buttons(title, parent, GTK_DIALOG_MODAL, "_Yes", GTK_RESPONSE_YES,
                                        "_No", GTK_RESPONSE_NO, nullptr);
  GtkWidget* label = gtk_label_new(text ? text : m.default_text);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), box, FALSE, TRUE, 0);
  if (m.selectable) gtk_label_set_selectable(GTK_LABEL(label), TRUE);
  GtkWidget* icon = m.icon_name ? gtk_image_new_from_icon_name(m.icon_name, GTK_ICON_SIZE_DIALOG)
                                : gtk_image_new_from_file(kExitPicture);
  gtk_box_pack_start(GTK_BOX(box), icon, FALSE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
  if (m.ending != Ending::kWaitAnswer) {
    g_signal_connect_swapped(dialog, "response", G_CALLBACK(gtk_widget_destroy), dialog);
  }
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  // A message is as large as its text, also where the window manager would tile a window that can
  // be resized.
  gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);

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

void dialogs_end_all() {
  // Held while answering: an answer may destroy its dialog.
  std::unique_ptr<GList, void (*)(GList*)> open(
      gtk_window_list_toplevels(), [](GList* l) { g_list_free_full(l, g_object_unref); });
  for (GList* l = open.get(); l; l = l->next) g_object_ref(l->data);
  for (GList* l = open.get(); l; l = l->next) {
    if (GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data))) {
      gtk_dialog_response(GTK_DIALOG(l->data), GTK_RESPONSE_DELETE_EVENT);
    }
  }
}

bool dialogs_open() {
  std::unique_ptr<GList, decltype(&g_list_free)> open(gtk_window_list_toplevels(), &g_list_free);
  for (GList* l = open.get(); l; l = l->next) {
    if (GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data))) return true;
  }
  return false;
}

#define G_LOG_DOMAIN "tovimo"

#include "tray/tray.h"

#include "app/app.h"
#include "client/client_api.h"
#include "convert/glue.h"
#include "tray/tray_item.h"
#include "tray/tray_menu.h"
#include "ui/edialogs.h"

namespace {

// Set by the quit request: the program is leaving, and the tray starts nothing more, not even
// what the main loop still runs on the way out (an item's queued entry, a click on its way).
bool leaving = false;

GtkWidget* tray_make_item(GtkWidget* shell, const char* label, GCallback handler,
                          gpointer user_data) {
  GtkWidget* item = label ? gtk_menu_item_new_with_mnemonic(label) : gtk_menu_item_new();
  gtk_menu_shell_append(GTK_MENU_SHELL(shell), item);
  g_signal_connect(item, "activate", handler, user_data);
  gtk_widget_show(item);
  return item;
}

void tray_make_separator(GtkWidget* shell) {
  if (!shell) return;
  GtkWidget* separator = gtk_separator_menu_item_new();
  gtk_menu_shell_append(GTK_MENU_SHELL(shell), separator);
  gtk_widget_show(separator);
}

// "selection-done": the menu has served; destroy it and drop the reference taken at popup.
void tray_menu_destroy(GtkWidget* done, gpointer) {
  if (menu == done) menu = nullptr;
  gtk_widget_destroy(done);
  g_object_unref(done);
}

void tray_go_website(GtkMenuItem*, gpointer) {
  if (leaving) return;
  app_open_page(api_home_url(gs_service_base));
}

void tray_go_tutorial(GtkMenuItem*, gpointer) {
  if (leaving) return;
  app_open_page(api_tutorial_url(gs_service_base));
}

// Opens the key page; kept from the original interface, reached by no menu item.
[[maybe_unused]] void tray_go_options_cb(GtkMenuItem*, gpointer) {
  app_open_page(api_key_page_url(gs_service_base, hash ? *hash : std::string()));
}

void tray_do_convert_action(GtkMenuItem*, gpointer) {
  if (leaving || !glue_may_start()) return;
  glue_select_file();
}

void tray_check_cb(GtkMenuItem*, gpointer) {
  if (leaving || !glue_may_start()) return;
  glue_check_task();
}

void tray_get_key_cb(GtkMenuItem*, gpointer) {
  if (leaving) return;
  GStr text(g_strdup_printf("Your key is : %s", hash ? hash->c_str() : ""));
  info_dialog_run("Key information", text.get());
}

std::string tooltip;

// The background checks for the order started or stopped: the tooltip says what the program
// waits for, and the item's menu follows the selection.
void tray_watch_changed(bool watching) {
  tooltip.clear();
  if (watching && flv_movie) {
    GStr name(g_path_get_basename(flv_movie->c_str()));
    tooltip = std::string("Tovimo: waiting for the order for ") + name.get();
  }
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  if (trayIcon && tray_icons_embed()) {  // elsewhere the icon is only the tray's handle
    if (tooltip.empty()) {
      gtk_status_icon_set_has_tooltip(trayIcon.get(), FALSE);
    } else {
      gtk_status_icon_set_tooltip_text(trayIcon.get(), tooltip.c_str());
    }
  }
  G_GNUC_END_IGNORE_DEPRECATIONS
  tray_item_changed();
}

// Whether the Exit question is open: there is never a second one.
bool exit_asked = false;

void tray_exit_cb(GtkMenuItem*, gpointer) {
  if (leaving || exit_confirmed || exit_asked) return;  // already leaving, or already asking
  int leave;
  {
    // A StatusNotifierItem's menu works past the question's grab: while it is open the tray
    // starts nothing, as while a dialog of the workflow is.
    GlueBusy busy;
    exit_asked = true;
    leave = exit_dialog_run("confirm", "Are you sure?");
    exit_asked = false;
  }
  if (!leave) return;
  // A workflow step may be waiting in a dialog opened before; it starts nothing from now on.
  exit_confirmed = true;
  application_quit();
}

void tray_menu_cb(GtkStatusIcon*, guint button, guint activate_time, gpointer) {
  menu = gtk_menu_new();
  for (const TrayMenuEntry& entry : tray_menu_entries()) {
    if (entry.label) {
      tray_make_item(menu, entry.label, G_CALLBACK(entry.handler), nullptr);
    } else {
      tray_make_separator(menu);
    }
  }
  // The program's own reference, whether or not the menu was floating; released on
  // "selection-done".
  g_object_ref(menu);
  g_object_ref_sink(menu);
  g_object_unref(menu);
  g_signal_connect(menu, "selection-done", G_CALLBACK(tray_menu_destroy), nullptr);
  // At the pointer. The status icon hands over the press's button and time rather than an event
  // (on Windows there is none), so the popup that takes those, which GTK 3 deprecates along with
  // the status icon, serves it.
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gtk_menu_popup(GTK_MENU(menu), nullptr, nullptr, nullptr, nullptr, button, activate_time);
  G_GNUC_END_IGNORE_DEPRECATIONS
  // A menu that could not take the pointer (another program holds it) is not shown and never
  // sees "selection-done": release it now.
  if (menu && !gtk_widget_get_visible(menu)) tray_menu_destroy(menu, nullptr);
}

void tray_menu_activate_cb(GtkStatusIcon*, gpointer) {
  tray_activate();
}

}  // namespace

std::vector<TrayMenuEntry> tray_menu_entries() {
  std::vector<TrayMenuEntry> entries = {
      {1, "Go to website", tray_go_website},
      {2, nullptr, nullptr},
      {3, "Select file to convert", tray_do_convert_action},
      {4, "Check task", tray_check_cb},
      {5, nullptr, nullptr},
      {6, "Get key", tray_get_key_cb},
      {7, nullptr, nullptr},
      {8, "Tutorial", tray_go_tutorial},
      {9, nullptr, nullptr},
      {10, "Exit", tray_exit_cb},
  };
  if (!flv_movie) entries.erase(entries.begin() + 3);  // nothing takes "Check task"'s place
  return entries;
}

const std::string& tray_tooltip() {
  return tooltip;
}

void tray_open_file(const std::string& path) {
  if (leaving || !glue_may_start()) {
    g_message("busy: %s is not taken", path.c_str());
    return;
  }
  glue_open_file(path);
  tray_item_changed();  // the selection may have changed
}

void tray_activate() {
  if (leaving || !glue_may_start()) return;
  GlueBusy busy;  // the question below already belongs to the workflow
  if (confirm_dialog_run("Confirm", "Do you want to select file to convert?")) glue_select_file();
}

int tray_init() {
  if (trayIcon) return 0;
  // Where no notification area can embed it, the status icon is only the tray's handle: it gets
  // no picture, which it would try to draw for a widget it does not have there.
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  trayIcon.reset(tray_icons_embed() ? gtk_status_icon_new_from_icon_name(kTrayIconName)
                                    : gtk_status_icon_new());
  G_GNUC_END_IGNORE_DEPRECATIONS
  g_signal_connect(trayIcon.get(), "popup-menu", G_CALLBACK(tray_menu_cb), trayIcon.get());
  g_signal_connect(trayIcon.get(), "activate", G_CALLBACK(tray_menu_activate_cb), nullptr);
  glue_watch_set_listener(tray_watch_changed);
  // Desktops whose tray takes StatusNotifierItems rather than embedding icons get one instead.
  tray_item_start(trayIcon.get());
  return 1;
}

bool tray_leaving() {
  return leaving;
}

void tray_hide() {
  leaving = true;
  glue_watch_stop();
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  if (trayIcon) gtk_status_icon_set_visible(trayIcon.get(), FALSE);
  G_GNUC_END_IGNORE_DEPRECATIONS
  tray_item_stop();
}

void tray_show() {
  leaving = false;
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  if (trayIcon) gtk_status_icon_set_visible(trayIcon.get(), TRUE);
  G_GNUC_END_IGNORE_DEPRECATIONS
}

void tray_toggle_visibility() {}

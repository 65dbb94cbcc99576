// The tray's menu as data, so that the icon's popup menu and the menu exported for a
// StatusNotifierItem hold the same entries in the same order, and the question that activating
// the icon asks. Private to the tray module.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

using TrayItemHandler = void (*)(GtkMenuItem* item, gpointer user_data);

// The tray's icon, by its name in the icon theme.
constexpr char kTrayIconName[] = "system-run";

// One entry of the menu: an item, or a separator when `label` is null.
struct TrayMenuEntry {
  int position;       // place in the full menu, 1 to 10; stays the same while others come and go
  const char* label;  // null for a separator
  TrayItemHandler handler;  // null for a separator; the handlers ignore both arguments
};

// The entries of the menu as it reads now, from the top: "Check task" only while a file is
// selected.
std::vector<TrayMenuEntry> tray_menu_entries();

// The icon's tooltip: empty, or what the program waits for.
const std::string& tray_tooltip();

// Activating the icon: asks whether to select a file to convert, and selects one on Yes.
void tray_activate();

// Whether the program has been asked to quit (tray_hide): the tray then starts and offers nothing.
bool tray_leaving();

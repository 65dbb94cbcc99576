// The notification-area icon and its popup menu: the user's entry to everything after start-up.
#pragma once

#include <gtk/gtk.h>

#include <string>

#include "base/state.h"

// 1 when the icon has been made and connected; 0 when it exists already.
int tray_init();
// Hides the icon and takes the StatusNotifierItem off the bus: the program is leaving. From then
// on the tray's entries start nothing.
void tray_hide();
// Shows the icon again, its entries working, after tray_hide: for a program that carries on past
// a quit request, as the tests do.
void tray_show();
// A file handed to the program, by its command line or by a later start: taken as if picked in
// the open chooser, when the tray would start something now; otherwise it gets what a click on
// the icon gets then.
void tray_open_file(const std::string& path);
// Kept for callers of the original interface; does nothing.
void tray_toggle_visibility();

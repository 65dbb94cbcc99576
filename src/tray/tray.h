// The notification-area icon and its popup menu: the user's entry to everything after start-up.
#pragma once

#include <gtk/gtk.h>

#include "base/holders.h"

extern GObj<GtkStatusIcon> trayIcon;  // the single icon, from tray_init to the end of the run
extern GtkWidget* menu;               // the menu most recently popped up, until it is released

// 1 when the icon has been made and connected; 0 when it exists already.
int tray_init();
// Kept for callers of the original interface; does nothing.
void tray_toggle_visibility();

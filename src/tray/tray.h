// The notification-area icon and its popup menu: the user's entry to everything after start-up.
#pragma once

#include <gtk/gtk.h>

#include "base/state.h"

// 1 when the icon has been made and connected; 0 when it exists already.
int tray_init();
// Hides the icon: the program is leaving.
void tray_hide();
// Kept for callers of the original interface; does nothing.
void tray_toggle_visibility();

// The tray on desktops whose tray takes StatusNotifierItems rather than embedding icons.
#pragma once

#include <gtk/gtk.h>

// The status icon, whose declarations only the tray's own files see (CMakeLists.txt).
typedef struct _GtkStatusIcon GtkStatusIcon;

// Places the program's icon for the whole run: where no notification area embeds it and the
// session bus has a StatusNotifierWatcher, the same icon and menu are offered as a
// StatusNotifierItem instead. Joins the session bus from the main loop, after the icon is up;
// without a session bus, or where the system has no StatusNotifierItem, the icon stays as it is.
void tray_item_start(GtkStatusIcon* icon);
// The program is leaving: the StatusNotifierItem, if offered, leaves the bus, and none is offered
// any more.
void tray_item_stop();
// The tooltip (tray_tooltip) or the selection changed: the StatusNotifierItem, if offered, says
// so to its host.
void tray_item_changed();
// Whether the display has notification areas that embed icons: not so under Wayland.
bool tray_icons_embed();

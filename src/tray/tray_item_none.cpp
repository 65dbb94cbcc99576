// Systems without StatusNotifierItems: the notification-area icon is the whole tray.
#include "tray/tray_item.h"

void tray_item_start(GtkStatusIcon*) {}
void tray_item_stop() {}
void tray_item_changed() {}
bool tray_icons_embed() {
  return true;
}

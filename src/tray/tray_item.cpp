#define G_LOG_DOMAIN "tovimo"

#include "tray/tray_item.h"

#include <gio/gio.h>

#include "base/holders.h"
#include "platform/platform.h"
#include "tray/tray_menu.h"
#include "tray/tray_placement.h"

namespace {

// Joins the session bus and places the icon. Runs once the main loop has put the icon up, since
// connecting waits on the bus daemon.
gboolean on_tray_item_start(gpointer icon) {
  if (tray_leaving()) return G_SOURCE_REMOVE;  // the program left before this ran
  GErr error;
  // The shared connection, on which libdbusmenu serves the item's menu too.
  GObj<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, out(error)));
  if (!bus) {
    g_debug("tray: no session bus: %s", error ? error->message : "unknown error");
    return G_SOURCE_REMOVE;
  }
  // The tray only borrows the bus: losing it must not end the program.
  g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
  // Lives for the whole run, like the icon.
  static TrayPlacement* placement = nullptr;
  if (!placement) placement = new TrayPlacement(static_cast<GtkStatusIcon*>(icon), bus.get());
  return G_SOURCE_REMOVE;
}

}  // namespace

void tray_item_start(GtkStatusIcon* icon) {
  if (!platform::session_bus_present()) return;
  g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, on_tray_item_start, g_object_ref(icon), g_object_unref);
}

void tray_item_stop() {
  TrayPlacement::withdraw_all();
}

void tray_item_changed() {
  TrayPlacement::tooltip_changed_all();
}

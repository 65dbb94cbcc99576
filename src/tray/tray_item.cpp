#define G_LOG_DOMAIN "tovimo"

#include "tray/tray_item.h"

#include <gio/gio.h>

#include "base/holders.h"
#include "tray/tray_menu.h"
#include "tray/tray_placement.h"

namespace {

// The session has a bus when its address is given or the per-user bus socket exists; asking
// GIO without either would start a bus of its own through X11 autolaunch.
bool session_bus_present() {
  const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  GStr socket(g_build_filename(g_get_user_runtime_dir(), "bus", nullptr));
  return g_file_test(socket.get(), G_FILE_TEST_EXISTS);
}

// The session bus joined: places the icon. `data` is the icon, referenced for the wait.
void on_tray_item_bus(GObject*, GAsyncResult* result, gpointer data) {
  GObj<GtkStatusIcon> icon(GTK_STATUS_ICON(data));
  GErr error;
  // The shared connection, on which libdbusmenu serves the item's menu too.
  GObj<GDBusConnection> bus(g_bus_get_finish(result, out(error)));
  if (!bus) {
    g_debug("tray: no session bus: %s", error ? error->message : "unknown error");
    return;
  }
  if (tray_leaving()) return;  // the program left while the bus was joined
  // The tray only borrows the bus: losing it must not end the program.
  g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
  // Lives for the whole run, like the icon.
  static TrayPlacement* placement = nullptr;
  if (!placement) placement = new TrayPlacement(icon.get(), bus.get());
}

}  // namespace

void tray_item_start(GtkStatusIcon* icon) {
  if (!session_bus_present()) return;
  // Joined off the main loop, which meanwhile puts the icon up: connecting waits on the bus
  // daemon.
  g_bus_get(G_BUS_TYPE_SESSION, nullptr, on_tray_item_bus, g_object_ref(icon));
}

void tray_item_stop() {
  TrayPlacement::withdraw_all();
}

// The tray's icon and menu offered as a StatusNotifierItem, for desktops whose tray takes those
// rather than embedding icons. The item itself is served here, since activating it must ask the
// icon's question; its menu is served by libdbusmenu.
#pragma once

#include <gio/gio.h>
#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>

#include <deque>
#include <string>
#include <vector>

#include "base/holders.h"
#include "tray/tray_menu.h"
#include "tray/tray_sni_interface.h"

// The tray's icon and menu as a StatusNotifierItem on the session bus. Activating the item asks
// the same question as a click on the icon; its menu holds the entries of the icon's menu and
// follows the selected file.
class StatusNotifierItem {
 public:
  // `bus` is the session bus as g_bus_get gives it: libdbusmenu serves the menu on that one.
  // `icon_name` names the icon in the theme, rendered into the pixmaps the item shows.
  StatusNotifierItem(GDBusConnection* bus, const char* icon_name);
  ~StatusNotifierItem();
  StatusNotifierItem(const StatusNotifierItem&) = delete;
  StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

  // Exports the item and its menu under a bus name of its own and registers that name with the
  // watcher. `withdraw` releases the name, which takes the item off the watcher's list.
  void offer();
  void withdraw();
  bool offered() const { return name_id_ != 0; }
  // Registers again, for a watcher that has just (re)appeared.
  void register_with_watcher();
  const std::string& bus_name() const { return bus_name_; }

  // Rebuilds the menu when its entries changed since it was last built; true then.
  bool refresh_menu();
  // The tooltip (tray_tooltip) changed: tells the host, and brings the menu up to date.
  void tooltip_changed();

 private:
  static void on_item_call(GDBusConnection*, const gchar* sender, const gchar* path,
                           const gchar* interface, const gchar* method, GVariant* parameters,
                           GDBusMethodInvocation* invocation, gpointer self);
  static GVariant* on_item_property(GDBusConnection*, const gchar* sender, const gchar* path,
                                    const gchar* interface, const gchar* property, GError** error,
                                    gpointer self);
  static void on_name_acquired(GDBusConnection*, const gchar* name, gpointer self);
  static void on_name_lost(GDBusConnection*, const gchar* name, gpointer self);
  static void on_menu_checked(GObject* bus, GAsyncResult* result, gpointer self);
  static gboolean on_check_menu_again(gpointer self);
  static void on_registered(GObject* bus, GAsyncResult* result, gpointer self);
  static gboolean on_menu_about_to_show(DbusmenuMenuitem* root, gpointer self);
  static void on_entry_item_activated(DbusmenuMenuitem* entry, guint timestamp, gpointer self);
  static gboolean on_run_pending(gpointer self);

  void check_menu();
  void build_menu();
  void clear_menu();
  // Queues an action for the main loop: 0 activates the icon, otherwise a menu position. The
  // handlers wait in dialogs, so they never run inside the bus call that asked for them.
  void queue(int action);

  GObj<GDBusConnection> bus_;
  std::string bus_name_;
  std::string icon_name_;
  GVar pixmaps_;  // a(iiay); rendered when the item is first offered
  GDBusNodeInfoPtr description_;
  GObj<GCancellable> cancellable_;  // the calls made for the item as offered now
  guint name_id_ = 0;
  guint item_object_ = 0;
  bool name_owned_ = false;
  bool registering_ = false;  // waiting for the menu before registering
  guint menu_checks_ = 0;     // how often the menu was found missing meanwhile
  guint check_source_ = 0;
  // The menu's root; its children are the entries, each with its position as its id.
  GObj<DbusmenuMenuitem> menu_;
  GObj<DbusmenuServer> menu_server_;  // while offered
  std::vector<TrayMenuEntry> shown_;  // the entries the menu holds
  std::deque<int> pending_;
  guint run_source_ = 0;
};

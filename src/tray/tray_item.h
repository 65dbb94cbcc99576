// The tray on desktops whose notification area is a StatusNotifierWatcher on the session bus
// rather than an XEmbed tray: the same icon and menu offered as a StatusNotifierItem, its menu
// exported as com.canonical.dbusmenu.
#pragma once

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/holders.h"
#include "tray/tray_menu.h"

// The tray's icon and menu as a StatusNotifierItem on one bus connection. Activating the item
// asks the same question as a click on the icon; its menu holds the entries of the icon's menu
// and follows the selected file.
class StatusNotifierItem {
 public:
  // `stock_id` names the icon, rendered into the pixmaps the item shows.
  StatusNotifierItem(GDBusConnection* bus, const char* stock_id);
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

  // Publishes the menu anew when its entries changed since they were last published; true then.
  bool refresh_menu();

 private:
  static void on_item_call(GDBusConnection*, const gchar* sender, const gchar* path,
                           const gchar* interface, const gchar* method, GVariant* parameters,
                           GDBusMethodInvocation* invocation, gpointer self);
  static GVariant* on_item_property(GDBusConnection*, const gchar* sender, const gchar* path,
                                    const gchar* interface, const gchar* property, GError** error,
                                    gpointer self);
  static void on_menu_call(GDBusConnection*, const gchar* sender, const gchar* path,
                           const gchar* interface, const gchar* method, GVariant* parameters,
                           GDBusMethodInvocation* invocation, gpointer self);
  static GVariant* on_menu_property(GDBusConnection*, const gchar* sender, const gchar* path,
                                    const gchar* interface, const gchar* property, GError** error,
                                    gpointer self);
  static void on_name_acquired(GDBusConnection*, const gchar* name, gpointer self);
  static void on_name_lost(GDBusConnection*, const gchar* name, gpointer self);
  static void on_registered(GObject* bus, GAsyncResult* result, gpointer self);
  static gboolean on_run_pending(gpointer self);

  const TrayMenuEntry* shown_entry(int position) const;
  GVariant* entry_properties(const TrayMenuEntry* entry, GVariant* names) const;
  GVariant* layout(int parent, int depth, GVariant* names) const;
  // Queues an action for the main loop: 0 activates the icon, otherwise a menu position. The
  // handlers wait in dialogs, so they never run inside the bus call that asked for them.
  void queue(int action);

  struct NodeInfoUnref {
    void operator()(GDBusNodeInfo* info) const noexcept { g_dbus_node_info_unref(info); }
  };
  using NodeInfo = std::unique_ptr<GDBusNodeInfo, NodeInfoUnref>;

  GObj<GDBusConnection> bus_;
  std::string bus_name_;
  std::string stock_id_;
  GVar pixmaps_;  // a(iiay); rendered when the item is first offered
  NodeInfo item_info_;
  NodeInfo menu_info_;
  GObj<GCancellable> cancellable_;
  guint name_id_ = 0;
  guint item_object_ = 0;
  guint menu_object_ = 0;
  bool name_owned_ = false;
  std::vector<TrayMenuEntry> shown_;  // the entries last published
  guint revision_ = 1;
  std::deque<int> pending_;
  guint run_source_ = 0;
};

// Keeps `icon` while a notification area embeds it. When the icon is still not embedded a
// moment after start, or loses its place later, and the bus has a StatusNotifierWatcher, hides
// the icon and offers the item instead; shows the icon again when the watcher goes away.
class TrayPlacement {
 public:
  static constexpr guint kEmbedGraceMs = 1000;

  TrayPlacement(GtkStatusIcon* icon, GDBusConnection* bus, guint grace_ms = kEmbedGraceMs);
  ~TrayPlacement();
  TrayPlacement(const TrayPlacement&) = delete;
  TrayPlacement& operator=(const TrayPlacement&) = delete;

  // Whether the first choice between the icon and the item has been made.
  bool settled() const { return grace_over_; }
  StatusNotifierItem& item() { return item_; }

 private:
  static void on_icon_embedded(GObject*, GParamSpec*, gpointer self);
  static gboolean on_grace_over(gpointer self);
  static void on_watcher_appeared(GDBusConnection*, const gchar* name, const gchar* owner,
                                  gpointer self);
  static void on_watcher_vanished(GDBusConnection*, const gchar* name, gpointer self);
  void place();

  GObj<GtkStatusIcon> icon_;
  StatusNotifierItem item_;
  gulong embedded_handler_ = 0;
  guint watch_id_ = 0;
  guint grace_source_ = 0;
  bool grace_over_ = false;
  bool watcher_present_ = false;
};

// Places the program's icon for the whole run, on the session bus when the session has one
// (joined from the main loop, after the icon is up); without a session bus the icon stays as it
// is.
void tray_item_start(GtkStatusIcon* icon);

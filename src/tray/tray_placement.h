// Where the tray shows: the notification-area icon, or the StatusNotifierItem in its place.
#pragma once

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <vector>

#include "base/holders.h"
#include "tray/tray_sni.h"

// The status icon, whose declarations only the tray's own files see (CMakeLists.txt).
typedef struct _GtkStatusIcon GtkStatusIcon;

// Keeps `icon` while a notification area embeds it. When the icon is still not embedded a
// moment after start, or loses its place later, and the bus has a StatusNotifierWatcher, hides
// the icon and offers the item instead; shows the icon again when the watcher goes away.
class TrayPlacement {
 public:
  static constexpr guint kEmbedGraceMs = 1000;

  // `bus` is the session bus as g_bus_get gives it, where the item's menu is served.
  TrayPlacement(GtkStatusIcon* icon, GDBusConnection* bus, guint grace_ms = kEmbedGraceMs);
  ~TrayPlacement();
  TrayPlacement(const TrayPlacement&) = delete;
  TrayPlacement& operator=(const TrayPlacement&) = delete;

  // The program is leaving: the item of every placement leaves the bus. None is offered again
  // while the tray says it is leaving (tray_leaving).
  static void withdraw_all();
  // The tray's tooltip or selection changed: every offered item tells its host.
  static void tooltip_changed_all();

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
  // Every placement there is; the program makes one.
  static std::vector<TrayPlacement*>& placements();

  GObj<GtkStatusIcon> icon_;
  StatusNotifierItem item_;
  gulong embedded_handler_ = 0;
  guint watch_id_ = 0;
  guint grace_source_ = 0;
  bool grace_over_ = false;
  bool watcher_present_ = false;
};

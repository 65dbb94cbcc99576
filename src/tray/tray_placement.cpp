#define G_LOG_DOMAIN "tovimo"

#include "tray/tray_placement.h"

#include <gdk/gdkwayland.h>

#include <algorithm>

#include "tray/tray_item.h"
#include "tray/tray_menu.h"

std::vector<TrayPlacement*>& TrayPlacement::placements() {
  static std::vector<TrayPlacement*> all;
  return all;
}

void TrayPlacement::withdraw_all() {
  for (TrayPlacement* placement : placements()) placement->item_.withdraw();
}

void TrayPlacement::tooltip_changed_all() {
  for (TrayPlacement* placement : placements()) placement->item_.tooltip_changed();
}

// Wayland has no notification area that embeds icons: there the item is the only place.
bool tray_icons_embed() {
  return !GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default());
}

TrayPlacement::TrayPlacement(GtkStatusIcon* icon, GDBusConnection* bus, guint grace_ms)
    : icon_(GTK_STATUS_ICON(g_object_ref(icon))), item_(bus, kTrayIconName) {
  embedded_handler_ =
      g_signal_connect(icon, "notify::embedded", G_CALLBACK(on_icon_embedded), this);
  watch_id_ =
      g_bus_watch_name_on_connection(bus, kSniWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                     on_watcher_appeared, on_watcher_vanished, this, nullptr);
  // A notification area embeds a new icon within moments; only after that is it known that none
  // will. Where none can, there is nothing to wait for.
  if (tray_icons_embed()) {
    grace_source_ = g_timeout_add(grace_ms, on_grace_over, this);
  } else {
    grace_over_ = true;
    g_debug("tray: no notification area embeds icons here; the StatusNotifierItem is the tray");
  }
  placements().push_back(this);
}

TrayPlacement::~TrayPlacement() {
  auto& all = placements();
  all.erase(std::remove(all.begin(), all.end(), this), all.end());
  if (grace_source_) g_source_remove(grace_source_);
  g_bus_unwatch_name(watch_id_);
  g_signal_handler_disconnect(icon_.get(), embedded_handler_);
}

void TrayPlacement::on_icon_embedded(GObject*, GParamSpec*, gpointer self) {
  static_cast<TrayPlacement*>(self)->place();
}

gboolean TrayPlacement::on_grace_over(gpointer self) {
  auto* placement = static_cast<TrayPlacement*>(self);
  placement->grace_source_ = 0;
  placement->grace_over_ = true;
  placement->place();
  if (!placement->item_.offered()) {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    const bool embedded = gtk_status_icon_is_embedded(placement->icon_.get());
    G_GNUC_END_IGNORE_DEPRECATIONS
    g_debug(embedded ? "tray: the notification area holds the icon"
                     : "tray: no notification area holds the icon, and no StatusNotifierWatcher "
                       "is there");
  }
  return G_SOURCE_REMOVE;
}

void TrayPlacement::on_watcher_appeared(GDBusConnection*, const gchar*, const gchar*,
                                        gpointer self) {
  auto* placement = static_cast<TrayPlacement*>(self);
  placement->watcher_present_ = true;
  if (placement->item_.offered()) placement->item_.register_with_watcher();  // a new watcher
  placement->place();
}

void TrayPlacement::on_watcher_vanished(GDBusConnection*, const gchar*, gpointer self) {
  auto* placement = static_cast<TrayPlacement*>(self);
  placement->watcher_present_ = false;
  placement->place();
}

void TrayPlacement::place() {
  if (tray_leaving()) return;
  GtkStatusIcon* icon = icon_.get();
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  if (item_.offered()) {
    if (watcher_present_) return;
    item_.withdraw();
    gtk_status_icon_set_visible(icon, TRUE);
    g_debug("tray: the StatusNotifierWatcher went away; back to the notification area icon");
    return;
  }
  // A hidden icon is one the program is leaving (the quit request), not one without a place.
  if (!grace_over_ || !watcher_present_ || !gtk_status_icon_get_visible(icon) ||
      gtk_status_icon_is_embedded(icon)) {
    return;
  }
  gtk_status_icon_set_visible(icon, FALSE);
  G_GNUC_END_IGNORE_DEPRECATIONS
  item_.offer();
}

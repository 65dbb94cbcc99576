// The StatusNotifierItem interface as the program serves it, and the names and paths by which
// the desktop's tray finds the item and its menu.
#pragma once

#include <gio/gio.h>

#include <memory>

inline constexpr char kSniWatcherName[] = "org.kde.StatusNotifierWatcher";
inline constexpr char kSniWatcherPath[] = "/StatusNotifierWatcher";
inline constexpr char kSniItemInterface[] = "org.kde.StatusNotifierItem";
inline constexpr char kSniItemPath[] = "/StatusNotifierItem";
inline constexpr char kSniMenuPath[] = "/MenuBar";

struct GDBusNodeInfoUnref {
  void operator()(GDBusNodeInfo* info) const noexcept { g_dbus_node_info_unref(info); }
};
using GDBusNodeInfoPtr = std::unique_ptr<GDBusNodeInfo, GDBusNodeInfoUnref>;

// The item's properties, methods and signals; its interfaces[0] is org.kde.StatusNotifierItem.
GDBusNodeInfoPtr sni_item_description();

#define G_LOG_DOMAIN "tovimo"

#include "tray/tray_sni.h"

#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr char kTitle[] = "Tovimo";
constexpr char kId[] = "tovimo";
// libdbusmenu exports the menu once its own request for the bus has come back; hosts read the
// menu as soon as the item registers, so registering waits for the menu, at most about 2 s.
constexpr guint kMenuCheckMs = 50;
constexpr guint kMenuChecks = 40;

// The icon as the item's pixmaps: ARGB32 in network byte order, at the sizes trays draw it, twice
// those for screens scaled by two, each drawn from the theme at that size, so that the host can
// take one that fits its own size rather than scale one.
GVariant* render_pixmaps(const char* icon_name) {
  GVariantBuilder pixmaps;
  g_variant_builder_init(&pixmaps, G_VARIANT_TYPE("a(iiay)"));
  GtkIconTheme* theme = gtk_icon_theme_get_default();
  for (int size : {16, 22, 24, 32, 48, 64, 96}) {
    GObj<GdkPixbuf> pixbuf(
        gtk_icon_theme_load_icon(theme, icon_name, size, GTK_ICON_LOOKUP_FORCE_SIZE, nullptr));
    if (!pixbuf || gdk_pixbuf_get_bits_per_sample(pixbuf.get()) != 8) continue;
    const int width = gdk_pixbuf_get_width(pixbuf.get());
    const int height = gdk_pixbuf_get_height(pixbuf.get());
    const int channels = gdk_pixbuf_get_n_channels(pixbuf.get());
    const int stride = gdk_pixbuf_get_rowstride(pixbuf.get());
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf.get());
    const guchar* pixels = gdk_pixbuf_get_pixels(pixbuf.get());
    std::vector<guchar> argb;
    argb.reserve(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
      const guchar* row = pixels + static_cast<size_t>(y) * stride;
      for (int x = 0; x < width; ++x) {
        const guchar* p = row + static_cast<size_t>(x) * channels;
        argb.insert(argb.end(), {alpha ? p[3] : guchar(0xff), p[0], p[1], p[2]});
      }
    }
    g_variant_builder_add(
        &pixmaps, "(ii@ay)", width, height,
        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, argb.data(), argb.size(), 1));
  }
  return g_variant_ref_sink(g_variant_builder_end(&pixmaps));
}

}  // namespace

StatusNotifierItem::StatusNotifierItem(GDBusConnection* bus, const char* icon_name)
    : bus_(G_DBUS_CONNECTION(g_object_ref(bus))),
      icon_name_(icon_name),
      description_(sni_item_description()),
      cancellable_(g_cancellable_new()),
      menu_(dbusmenu_menuitem_new()) {
  static guint count = 0;
  GStr name(g_strdup_printf("org.kde.StatusNotifierItem-%d-%u", int(getpid()), ++count));
  bus_name_ = name.get();
  dbusmenu_menuitem_property_set(menu_.get(), DBUSMENU_MENUITEM_PROP_CHILD_DISPLAY,
                                 DBUSMENU_MENUITEM_CHILD_DISPLAY_SUBMENU);
  g_signal_connect(menu_.get(), DBUSMENU_MENUITEM_SIGNAL_ABOUT_TO_SHOW,
                   G_CALLBACK(on_menu_about_to_show), this);
  shown_ = tray_menu_entries();
  build_menu();
}

StatusNotifierItem::~StatusNotifierItem() {
  withdraw();
  if (run_source_) g_source_remove(run_source_);
  g_signal_handlers_disconnect_by_data(menu_.get(), this);
  clear_menu();
}

void StatusNotifierItem::offer() {
  if (offered()) return;
  // Rendering loads the icon theme: worth it only once an item is wanted, not at start-up.
  if (!pixmaps_) pixmaps_.reset(render_pixmaps(icon_name_.c_str()));
  static const GDBusInterfaceVTable item_vtable = {on_item_call, on_item_property, nullptr, {}};
  GErr error;
  item_object_ =
      g_dbus_connection_register_object(bus_.get(), kSniItemPath, description_->interfaces[0],
                                        &item_vtable, this, nullptr, out(error));
  if (!item_object_) {
    g_warning("cannot export the tray item: %s", error ? error->message : "unknown error");
    return;
  }
  refresh_menu();
  menu_server_.reset(dbusmenu_server_new(kSniMenuPath));
  dbusmenu_server_set_root(menu_server_.get(), menu_.get());
  name_id_ =
      g_bus_own_name_on_connection(bus_.get(), bus_name_.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE,
                                   on_name_acquired, on_name_lost, this, nullptr);
}

void StatusNotifierItem::withdraw() {
  if (name_id_) g_bus_unown_name(name_id_);
  name_id_ = 0;
  name_owned_ = false;
  registering_ = false;
  if (check_source_) g_source_remove(check_source_);
  check_source_ = 0;
  g_cancellable_cancel(cancellable_.get());
  cancellable_.reset(g_cancellable_new());
  menu_server_.reset();
  if (item_object_) g_dbus_connection_unregister_object(bus_.get(), item_object_);
  item_object_ = 0;
}

void StatusNotifierItem::register_with_watcher() {
  if (!name_owned_ || registering_) return;  // registers once the name is ours
  registering_ = true;
  menu_checks_ = 0;
  check_menu();
}

void StatusNotifierItem::check_menu() {
  g_dbus_connection_call(
      bus_.get(), bus_name_.c_str(), kSniMenuPath, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", "com.canonical.dbusmenu", "Version"), nullptr,
      G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, cancellable_.get(), on_menu_checked, this);
}

void StatusNotifierItem::on_menu_checked(GObject* bus, GAsyncResult* result, gpointer self) {
  GErr error;
  GVar reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, out(error)));
  if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
  auto* item = static_cast<StatusNotifierItem*>(self);
  if (!reply && ++item->menu_checks_ < kMenuChecks) {
    item->check_source_ = g_timeout_add(kMenuCheckMs, on_check_menu_again, item);
    return;
  }
  item->registering_ = false;
  if (!reply) g_debug("tray item: the menu is not on the bus: %s", error->message);
  g_dbus_connection_call(
      G_DBUS_CONNECTION(bus), kSniWatcherName, kSniWatcherPath, kSniWatcherName,
      "RegisterStatusNotifierItem", g_variant_new("(s)", item->bus_name_.c_str()), nullptr,
      G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, item->cancellable_.get(), on_registered, item);
}

gboolean StatusNotifierItem::on_check_menu_again(gpointer self) {
  auto* item = static_cast<StatusNotifierItem*>(self);
  item->check_source_ = 0;
  item->check_menu();
  return G_SOURCE_REMOVE;
}

void StatusNotifierItem::on_name_acquired(GDBusConnection*, const gchar*, gpointer self) {
  auto* item = static_cast<StatusNotifierItem*>(self);
  item->name_owned_ = true;
  item->register_with_watcher();
}

void StatusNotifierItem::on_name_lost(GDBusConnection*, const gchar* name, gpointer self) {
  static_cast<StatusNotifierItem*>(self)->name_owned_ = false;
  g_debug("tray item: the bus name %s is not ours", name);
}

void StatusNotifierItem::on_registered(GObject* bus, GAsyncResult* result, gpointer self) {
  GErr error;
  GVar reply(g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, out(error)));
  if (reply) {
    g_debug("tray: offered as StatusNotifierItem %s",
            static_cast<StatusNotifierItem*>(self)->bus_name_.c_str());
  } else if (!g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    g_debug("tray item: the watcher refused it: %s", error->message);
  }
}

void StatusNotifierItem::tooltip_changed() {
  refresh_menu();
  if (!item_object_) return;
  g_dbus_connection_emit_signal(bus_.get(), nullptr, kSniItemPath, kSniItemInterface,
                                "NewToolTip", nullptr, nullptr);
}

bool StatusNotifierItem::refresh_menu() {
  std::vector<TrayMenuEntry> now = tray_menu_entries();
  const auto same_place = [](const TrayMenuEntry& a, const TrayMenuEntry& b) {
    return a.position == b.position;
  };
  if (std::equal(now.begin(), now.end(), shown_.begin(), shown_.end(), same_place)) return false;
  shown_ = std::move(now);
  build_menu();  // the server tells the hosts that the layout changed
  return true;
}

void StatusNotifierItem::build_menu() {
  clear_menu();
  for (const TrayMenuEntry& entry : shown_) {
    // The position as the id: a click on an entry of a layout read before a rebuild still
    // reaches that entry.
    GObj<DbusmenuMenuitem> child(dbusmenu_menuitem_new_with_id(entry.position));
    if (entry.label) {
      dbusmenu_menuitem_property_set(child.get(), DBUSMENU_MENUITEM_PROP_LABEL, entry.label);
      g_signal_connect(child.get(), DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED,
                       G_CALLBACK(on_entry_item_activated), this);
    } else {
      dbusmenu_menuitem_property_set(child.get(), DBUSMENU_MENUITEM_PROP_TYPE, "separator");
    }
    dbusmenu_menuitem_child_append(menu_.get(), child.get());
  }
}

void StatusNotifierItem::clear_menu() {
  while (GList* children = dbusmenu_menuitem_get_children(menu_.get())) {
    auto* child = DBUSMENU_MENUITEM(children->data);
    g_signal_handlers_disconnect_by_data(child, this);
    dbusmenu_menuitem_child_delete(menu_.get(), child);
  }
}

gboolean StatusNotifierItem::on_menu_about_to_show(DbusmenuMenuitem*, gpointer self) {
  static_cast<StatusNotifierItem*>(self)->refresh_menu();
  return FALSE;
}

void StatusNotifierItem::on_entry_item_activated(DbusmenuMenuitem* entry, guint, gpointer self) {
  static_cast<StatusNotifierItem*>(self)->queue(dbusmenu_menuitem_get_id(entry));
}

void StatusNotifierItem::queue(int action) {
  pending_.push_back(action);
  if (!run_source_) run_source_ = g_idle_add(on_run_pending, this);
}

gboolean StatusNotifierItem::on_run_pending(gpointer self) {
  auto* item = static_cast<StatusNotifierItem*>(self);
  item->run_source_ = 0;
  std::deque<int> actions;
  actions.swap(item->pending_);
  for (int action : actions) {
    if (action == 0) {
      tray_activate();
      continue;
    }
    // The entry as the menu holds it now: an item that left the menu meanwhile does nothing.
    for (const TrayMenuEntry& entry : tray_menu_entries()) {
      if (entry.position == action && entry.handler) entry.handler(nullptr, nullptr);
    }
  }
  // The workflow may have selected a file or finished with one.
  item->refresh_menu();
  return G_SOURCE_REMOVE;
}

void StatusNotifierItem::on_item_call(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                      const gchar* method, GVariant*,
                                      GDBusMethodInvocation* invocation, gpointer self) {
  // A left click; the context menu comes from the exported menu, the rest means nothing here.
  if (std::strcmp(method, "Activate") == 0) static_cast<StatusNotifierItem*>(self)->queue(0);
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* StatusNotifierItem::on_item_property(GDBusConnection*, const gchar*, const gchar*,
                                               const gchar*, const gchar* property, GError**,
                                               gpointer self) {
  auto* item = static_cast<StatusNotifierItem*>(self);
  const auto is = [property](const char* name) { return std::strcmp(property, name) == 0; };
  if (is("Category")) return g_variant_new_string("ApplicationStatus");
  if (is("Id")) return g_variant_new_string(kId);
  if (is("Title")) return g_variant_new_string(kTitle);
  if (is("Status")) return g_variant_new_string("Active");
  if (is("WindowId")) return g_variant_new_int32(0);
  if (is("IconPixmap")) return g_variant_ref(item->pixmaps_.get());
  if (is("OverlayIconPixmap") || is("AttentionIconPixmap")) {
    return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0);
  }
  if (is("ToolTip")) {
    return g_variant_new("(s@a(iiay)ss)", "",
                         g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0),
                         tray_tooltip().c_str(), "");
  }
  if (is("ItemIsMenu")) return g_variant_new_boolean(FALSE);
  if (is("Menu")) return g_variant_new_object_path(kSniMenuPath);
  return g_variant_new_string("");  // the icon names: the pixmaps carry the icon
}

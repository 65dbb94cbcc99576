#define G_LOG_DOMAIN "tovimo"

#include "tray/tray_item.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr char kWatcherPath[] = "/StatusNotifierWatcher";
constexpr char kItemPath[] = "/StatusNotifierItem";
constexpr char kMenuPath[] = "/MenuBar";
constexpr char kTitle[] = "Tovimo";
constexpr char kId[] = "tovimo";
constexpr guint kMenuProtocolVersion = 3;

constexpr char kItemXml[] = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
</node>)xml";

constexpr char kMenuXml[] = R"xml(<node>
  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg name="parentId" type="i" direction="in"/>
      <arg name="recursionDepth" type="i" direction="in"/>
      <arg name="propertyNames" type="as" direction="in"/>
      <arg name="revision" type="u" direction="out"/>
      <arg name="layout" type="(ia{sv}av)" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg name="ids" type="ai" direction="in"/>
      <arg name="propertyNames" type="as" direction="in"/>
      <arg name="properties" type="a(ia{sv})" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg name="id" type="i" direction="in"/>
      <arg name="name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="Event">
      <arg name="id" type="i" direction="in"/>
      <arg name="eventId" type="s" direction="in"/>
      <arg name="data" type="v" direction="in"/>
      <arg name="timestamp" type="u" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg name="events" type="a(isvu)" direction="in"/>
      <arg name="idErrors" type="ai" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg name="id" type="i" direction="in"/>
      <arg name="needUpdate" type="b" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg name="ids" type="ai" direction="in"/>
      <arg name="updatesNeeded" type="ai" direction="out"/>
      <arg name="idErrors" type="ai" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg name="updatedProps" type="a(ia{sv})"/>
      <arg name="removedProps" type="a(ias)"/>
    </signal>
    <signal name="LayoutUpdated">
      <arg name="revision" type="u"/>
      <arg name="parent" type="i"/>
    </signal>
    <signal name="ItemActivationRequested">
      <arg name="id" type="i"/>
      <arg name="timestamp" type="u"/>
    </signal>
  </interface>
</node>)xml";

// The icon as the item's pixmaps: ARGB32 in network byte order, at the sizes trays use.
GVariant* render_pixmaps(const char* stock_id) {
  GVariantBuilder pixmaps;
  g_variant_builder_init(&pixmaps, G_VARIANT_TYPE("a(iiay)"));
  GtkIconSet* set = gtk_icon_factory_lookup_default(stock_id);
  for (GtkIconSize size :
       {GTK_ICON_SIZE_MENU, GTK_ICON_SIZE_LARGE_TOOLBAR, GTK_ICON_SIZE_DND, GTK_ICON_SIZE_DIALOG}) {
    if (!set) break;
    GObj<GdkPixbuf> pixbuf(gtk_icon_set_render_icon(set, gtk_widget_get_default_style(),
                                                    GTK_TEXT_DIR_LTR, GTK_STATE_NORMAL, size,
                                                    nullptr, nullptr));
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

// Whether `name` is wanted by a property list: an empty list asks for all.
bool wanted(GVariant* names, const char* name) {
  if (!names || g_variant_n_children(names) == 0) return true;
  GVariantIter iter;
  g_variant_iter_init(&iter, names);
  const gchar* each;
  while (g_variant_iter_next(&iter, "&s", &each)) {
    if (std::strcmp(each, name) == 0) return true;
  }
  return false;
}

// The session has a bus when its address is given or the per-user bus socket exists; asking
// GIO without either would start a bus of its own through X11 autolaunch.
bool session_bus_present() {
  const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  GStr socket(g_build_filename(g_get_user_runtime_dir(), "bus", nullptr));
  return g_file_test(socket.get(), G_FILE_TEST_EXISTS);
}

}  // namespace

StatusNotifierItem::StatusNotifierItem(GDBusConnection* bus, const char* stock_id)
    : bus_(G_DBUS_CONNECTION(g_object_ref(bus))),
      stock_id_(stock_id),
      cancellable_(g_cancellable_new()) {
  static guint count = 0;
  GStr name(g_strdup_printf("org.kde.StatusNotifierItem-%d-%u", int(getpid()), ++count));
  bus_name_ = name.get();
  item_info_.reset(g_dbus_node_info_new_for_xml(kItemXml, nullptr));
  menu_info_.reset(g_dbus_node_info_new_for_xml(kMenuXml, nullptr));
  shown_ = tray_menu_entries();
}

StatusNotifierItem::~StatusNotifierItem() {
  withdraw();
  g_cancellable_cancel(cancellable_.get());
  if (run_source_) g_source_remove(run_source_);
}

void StatusNotifierItem::offer() {
  if (offered()) return;
  // Rendering loads the icon theme: worth it only once an item is wanted, not at start-up.
  if (!pixmaps_) pixmaps_.reset(render_pixmaps(stock_id_.c_str()));
  static const GDBusInterfaceVTable item_vtable = {on_item_call, on_item_property, nullptr, {}};
  static const GDBusInterfaceVTable menu_vtable = {on_menu_call, on_menu_property, nullptr, {}};
  GErr error;
  item_object_ = g_dbus_connection_register_object(bus_.get(), kItemPath, item_info_->interfaces[0],
                                                   &item_vtable, this, nullptr, out(error));
  if (item_object_) {
    menu_object_ = g_dbus_connection_register_object(
        bus_.get(), kMenuPath, menu_info_->interfaces[0], &menu_vtable, this, nullptr, out(error));
  }
  if (!item_object_ || !menu_object_) {
    g_warning("cannot export the tray item: %s", error ? error->message : "unknown error");
    withdraw();
    return;
  }
  name_id_ =
      g_bus_own_name_on_connection(bus_.get(), bus_name_.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE,
                                   on_name_acquired, on_name_lost, this, nullptr);
}

void StatusNotifierItem::withdraw() {
  if (name_id_) g_bus_unown_name(name_id_);
  name_id_ = 0;
  name_owned_ = false;
  if (menu_object_) g_dbus_connection_unregister_object(bus_.get(), menu_object_);
  if (item_object_) g_dbus_connection_unregister_object(bus_.get(), item_object_);
  menu_object_ = item_object_ = 0;
}

void StatusNotifierItem::register_with_watcher() {
  if (!name_owned_) return;  // registers once the name is ours
  g_dbus_connection_call(bus_.get(), kWatcherName, kWatcherPath, kWatcherName,
                         "RegisterStatusNotifierItem", g_variant_new("(s)", bus_name_.c_str()),
                         nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, cancellable_.get(),
                         on_registered, this);
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
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, out(error));
  if (reply) {
    g_variant_unref(reply);
    g_debug("tray: offered as StatusNotifierItem %s",
            static_cast<StatusNotifierItem*>(self)->bus_name_.c_str());
  } else if (!g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    g_debug("tray item: the watcher refused it: %s", error->message);
  }
}

bool StatusNotifierItem::refresh_menu() {
  std::vector<TrayMenuEntry> now = tray_menu_entries();
  const auto same_place = [](const TrayMenuEntry& a, const TrayMenuEntry& b) {
    return a.position == b.position;
  };
  if (std::equal(now.begin(), now.end(), shown_.begin(), shown_.end(), same_place)) return false;
  shown_ = std::move(now);
  ++revision_;
  if (menu_object_) {
    g_dbus_connection_emit_signal(bus_.get(), nullptr, kMenuPath, "com.canonical.dbusmenu",
                                  "LayoutUpdated", g_variant_new("(ui)", revision_, 0), nullptr);
  }
  return true;
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

const TrayMenuEntry* StatusNotifierItem::shown_entry(int position) const {
  for (const TrayMenuEntry& entry : shown_) {
    if (entry.position == position) return &entry;
  }
  return nullptr;
}

GVariant* StatusNotifierItem::entry_properties(const TrayMenuEntry* entry, GVariant* names) const {
  GVariantBuilder props;
  g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
  if (!entry) {
    if (wanted(names, "children-display")) {
      g_variant_builder_add(&props, "{sv}", "children-display", g_variant_new_string("submenu"));
    }
  } else if (!entry->label) {
    if (wanted(names, "type")) {
      g_variant_builder_add(&props, "{sv}", "type", g_variant_new_string("separator"));
    }
  } else {
    if (wanted(names, "label")) {
      g_variant_builder_add(&props, "{sv}", "label", g_variant_new_string(entry->label));
    }
    if (wanted(names, "enabled")) {
      g_variant_builder_add(&props, "{sv}", "enabled", g_variant_new_boolean(TRUE));
    }
    if (wanted(names, "visible")) {
      g_variant_builder_add(&props, "{sv}", "visible", g_variant_new_boolean(TRUE));
    }
  }
  return g_variant_builder_end(&props);
}

GVariant* StatusNotifierItem::layout(int parent, int depth, GVariant* names) const {
  GVariantBuilder children;
  g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
  if (parent != 0) {
    const TrayMenuEntry* entry = shown_entry(parent);
    return g_variant_new("(i@a{sv}@av)", parent, entry_properties(entry, names),
                         g_variant_builder_end(&children));
  }
  if (depth != 0) {
    for (const TrayMenuEntry& entry : shown_) {
      GVariantBuilder none;
      g_variant_builder_init(&none, G_VARIANT_TYPE("av"));
      g_variant_builder_add(
          &children, "v",
          g_variant_new("(i@a{sv}@av)", entry.position, entry_properties(&entry, names),
                        g_variant_builder_end(&none)));
    }
  }
  return g_variant_new("(i@a{sv}@av)", 0, entry_properties(nullptr, names),
                       g_variant_builder_end(&children));
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
                         g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0), "", "");
  }
  if (is("ItemIsMenu")) return g_variant_new_boolean(FALSE);
  if (is("Menu")) return g_variant_new_object_path(kMenuPath);
  return g_variant_new_string("");  // the icon names: the pixmaps carry the icon
}

void StatusNotifierItem::on_menu_call(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                      const gchar* method, GVariant* parameters,
                                      GDBusMethodInvocation* invocation, gpointer self) {
  auto* item = static_cast<StatusNotifierItem*>(self);
  const auto is = [method](const char* name) { return std::strcmp(method, name) == 0; };
  const auto known = [item](int id) { return id == 0 || item->shown_entry(id) != nullptr; };
  if (is("GetLayout")) {
    gint32 parent, depth;
    GVariant* names;
    g_variant_get(parameters, "(ii@as)", &parent, &depth, &names);
    item->refresh_menu();  // the answer always reads the selection as it is now
    if (known(parent)) {
      g_dbus_method_invocation_return_value(
          invocation,
          g_variant_new("(u@(ia{sv}av))", item->revision_, item->layout(parent, depth, names)));
    } else {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                            "no menu item %d", parent);
    }
    g_variant_unref(names);
  } else if (is("GetGroupProperties")) {
    GVariant *ids, *names;
    g_variant_get(parameters, "(@ai@as)", &ids, &names);
    std::vector<int> asked;
    GVariantIter iter;
    g_variant_iter_init(&iter, ids);
    for (gint32 id; g_variant_iter_next(&iter, "i", &id);) asked.push_back(id);
    if (asked.empty()) {
      asked.push_back(0);
      for (const TrayMenuEntry& entry : item->shown_) asked.push_back(entry.position);
    }
    GVariantBuilder found;
    g_variant_builder_init(&found, G_VARIANT_TYPE("a(ia{sv})"));
    for (int id : asked) {
      if (!known(id)) continue;
      g_variant_builder_add(&found, "(i@a{sv})", id,
                            item->entry_properties(item->shown_entry(id), names));
    }
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(@a(ia{sv}))", g_variant_builder_end(&found)));
    g_variant_unref(ids);
    g_variant_unref(names);
  } else if (is("GetProperty")) {
    gint32 id;
    const gchar* name;
    g_variant_get(parameters, "(i&s)", &id, &name);
    GVariant* props =
        known(id) ? g_variant_ref_sink(item->entry_properties(item->shown_entry(id), nullptr))
                  : nullptr;
    GVariant* value = props ? g_variant_lookup_value(props, name, nullptr) : nullptr;
    if (value) {
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
      g_variant_unref(value);
    } else {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                            "no property %s of menu item %d", name, id);
    }
    if (props) g_variant_unref(props);
  } else if (is("Event")) {
    gint32 id;
    const gchar* event;
    g_variant_get(parameters, "(i&svu)", &id, &event, nullptr, nullptr);
    if (!known(id)) {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                            "no menu item %d", id);
      return;
    }
    if (id != 0 && std::strcmp(event, "clicked") == 0) item->queue(id);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (is("EventGroup")) {
    GVariantIter* events;
    g_variant_get(parameters, "(a(isvu))", &events);
    GVariantBuilder errors;
    g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
    gint32 id;
    const gchar* event;
    while (g_variant_iter_next(events, "(i&svu)", &id, &event, nullptr, nullptr)) {
      if (!known(id)) {
        g_variant_builder_add(&errors, "i", id);
      } else if (id != 0 && std::strcmp(event, "clicked") == 0) {
        item->queue(id);
      }
    }
    g_variant_iter_free(events);
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(@ai)", g_variant_builder_end(&errors)));
  } else if (is("AboutToShow")) {
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", item->refresh_menu()));
  } else if (is("AboutToShowGroup")) {
    GVariantBuilder updates, errors;
    g_variant_builder_init(&updates, G_VARIANT_TYPE("ai"));
    g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
    if (item->refresh_menu()) g_variant_builder_add(&updates, "i", 0);
    g_dbus_method_invocation_return_value(
        invocation,
        g_variant_new("(@ai@ai)", g_variant_builder_end(&updates), g_variant_builder_end(&errors)));
  } else {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "no method %s", method);
  }
}

GVariant* StatusNotifierItem::on_menu_property(GDBusConnection*, const gchar*, const gchar*,
                                               const gchar*, const gchar* property, GError**,
                                               gpointer) {
  if (std::strcmp(property, "Version") == 0) return g_variant_new_uint32(kMenuProtocolVersion);
  if (std::strcmp(property, "TextDirection") == 0) return g_variant_new_string("ltr");
  if (std::strcmp(property, "Status") == 0) return g_variant_new_string("normal");
  return g_variant_new_strv(nullptr, 0);  // IconThemePath
}

TrayPlacement::TrayPlacement(GtkStatusIcon* icon, GDBusConnection* bus, guint grace_ms)
    : icon_(GTK_STATUS_ICON(g_object_ref(icon))),
      item_(bus,
            gtk_status_icon_get_stock(icon) ? gtk_status_icon_get_stock(icon) : GTK_STOCK_EXECUTE) {
  embedded_handler_ =
      g_signal_connect(icon, "notify::embedded", G_CALLBACK(on_icon_embedded), this);
  watch_id_ =
      g_bus_watch_name_on_connection(bus, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                     on_watcher_appeared, on_watcher_vanished, this, nullptr);
  // A notification area embeds a new icon within moments; only after that is it known that none
  // will.
  grace_source_ = g_timeout_add(grace_ms, on_grace_over, this);
}

TrayPlacement::~TrayPlacement() {
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
    g_debug(gtk_status_icon_is_embedded(placement->icon_.get())
                ? "tray: the notification area holds the icon"
                : "tray: no notification area holds the icon, and no StatusNotifierWatcher is "
                  "there");
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
  GtkStatusIcon* icon = icon_.get();
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
  item_.offer();
}

namespace {

// Joins the session bus and places the icon. Runs once the main loop has put the icon up, since
// connecting waits on the bus daemon.
gboolean on_tray_item_start(gpointer icon) {
  GErr error;
  GObj<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, out(error)));
  if (!bus) {
    g_debug("tray: no session bus: %s", error ? error->message : "unknown error");
    return G_SOURCE_REMOVE;
  }
  // The tray only borrows the bus: losing it must not end the program.
  g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
  // Lives for the whole run, like the icon.
  static TrayPlacement* placement = nullptr;
  if (!placement) placement = new TrayPlacement(GTK_STATUS_ICON(icon), bus.get());
  return G_SOURCE_REMOVE;
}

}  // namespace

void tray_item_start(GtkStatusIcon* icon) {
  if (!session_bus_present()) return;
  g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, on_tray_item_start, g_object_ref(icon), g_object_unref);
}

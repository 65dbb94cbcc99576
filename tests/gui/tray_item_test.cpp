// The tray on desktops whose tray is a StatusNotifierWatcher: the icon's place is taken by an
// item whose menu and activation do what the icon's do. Each test has a private session bus
// with a watcher of its own standing in for the desktop's; this display has no notification
// area, so nothing embeds the icon.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>

#include "app/app.h"
#include "client/client_api.h"
#include "gui/gui_support.h"
#include "support/loopback_server.h"
#include "tray/tray.h"
#include "tray/tray_placement.h"

namespace {

constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr char kMenuInterface[] = "com.canonical.dbusmenu";
constexpr char kItemInterface[] = "org.kde.StatusNotifierItem";
constexpr guint kTestGraceMs = 50;

const std::string kKey = "00112233445566778899aabbccddeeff";

using Variant = GVar;

// A test that dies takes its bus with it.
void end_with_parent(gpointer) {
  prctl(PR_SET_PDEATHSIG, SIGTERM);
}

// A dbus-daemon of the test's own, ended with the test.
class PrivateBus {
 public:
  PrivateBus() {
    const gchar* argv[] = {"dbus-daemon", "--session",         "--nofork",
                           "--nopidfile", "--print-address=1", nullptr};
    gint out_fd = -1;
    GErr error;
    if (!g_spawn_async_with_pipes(nullptr, const_cast<gchar**>(argv), nullptr,
                                  GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
                                  end_with_parent, nullptr, &pid_, nullptr, &out_fd, nullptr,
                                  out(error))) {
      ADD_FAILURE() << "cannot start dbus-daemon: " << error->message;
      return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (address_.empty() || address_.back() != '\n') {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{out_fd, POLLIN, 0};
      char chunk[256];
      ssize_t n = 0;
      if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0 ||
          (n = read(out_fd, chunk, sizeof chunk)) <= 0) {
        ADD_FAILURE() << "dbus-daemon gave no address";
        break;
      }
      address_.append(chunk, size_t(n));
    }
    close(out_fd);
    while (!address_.empty() && g_ascii_isspace(address_.back())) address_.pop_back();
  }
  ~PrivateBus() {
    if (old_session_) {
      g_setenv("DBUS_SESSION_BUS_ADDRESS", old_session_->c_str(), TRUE);
    } else if (session_) {
      g_unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    if (!pid_) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    g_spawn_close_pid(pid_);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  GObj<GDBusConnection> connect() const {
    GErr error;
    GObj<GDBusConnection> bus(g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, out(error)));
    EXPECT_TRUE(bus) << (error ? error->message : "");
    return bus;
  }

  // The program's connection: this bus made the session bus, as the program and libdbusmenu
  // both join it through g_bus_get.
  GObj<GDBusConnection> session() {
    if (!session_) {
      const char* old = g_getenv("DBUS_SESSION_BUS_ADDRESS");
      if (old) old_session_ = old;
      g_setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), TRUE);
      session_ = true;
    }
    GErr error;
    GObj<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, out(error)));
    EXPECT_TRUE(bus) << (error ? error->message : "");
    if (bus) g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
    return bus;
  }

 private:
  GPid pid_ = 0;
  std::string address_;
  bool session_ = false;
  std::optional<std::string> old_session_;
};

// Calls as a tray host makes them. The item answers from this thread's main loop, so the
// reply is awaited by running it.
Variant call(GDBusConnection* bus, const std::string& name, const char* path, const char* interface,
             const char* method, GVariant* parameters, const char* reply_type,
             std::string* error_text = nullptr) {
  struct Pending {
    bool done = false;
    Variant reply;
    std::string error;
  };
  auto* pending = new Pending;  // the reply may outlive a failed wait; it frees itself then
  g_dbus_connection_call(
      bus, name.c_str(), path, interface, method, parameters,
      reply_type ? G_VARIANT_TYPE(reply_type) : nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* p = static_cast<Pending*>(data);
        GErr error;
        p->reply.reset(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, out(error)));
        if (error) p->error = error->message;
        p->done = true;
      },
      pending);
  const bool answered = wait_until([pending] { return pending->done; });
  EXPECT_TRUE(answered) << method << " got no reply";
  if (!answered) return nullptr;
  std::unique_ptr<Pending> owned(pending);
  if (error_text) *error_text = owned->error;
  return std::move(owned->reply);
}

// Stands in for the desktop's StatusNotifierWatcher and records who registers.
class FakeWatcher {
 public:
  explicit FakeWatcher(const PrivateBus& bus) : bus_(bus.connect()) {}
  ~FakeWatcher() { stop(); }

  void start() {
    static const char kXml[] =
        "<node><interface name='org.kde.StatusNotifierWatcher'>"
        "<method name='RegisterStatusNotifierItem'><arg name='service' type='s' direction='in'/>"
        "</method>"
        "<property name='IsStatusNotifierHostRegistered' type='b' access='read'/>"
        "</interface></node>";
    static const GDBusInterfaceVTable kVTable = {on_call, on_property, nullptr, {}};
    info_ = g_dbus_node_info_new_for_xml(kXml, nullptr);
    object_ =
        g_dbus_connection_register_object(bus_.get(), "/StatusNotifierWatcher",
                                          info_->interfaces[0], &kVTable, this, nullptr, nullptr);
    owned_ = false;
    name_ = g_bus_own_name_on_connection(bus_.get(), kWatcherName, G_BUS_NAME_OWNER_FLAGS_NONE,
                                         on_acquired, nullptr, this, nullptr);
    ASSERT_TRUE(wait_until([this] { return owned_; })) << "the watcher did not get its name";
  }

  void stop() {
    if (name_) g_bus_unown_name(name_);
    if (object_) g_dbus_connection_unregister_object(bus_.get(), object_);
    if (info_) g_dbus_node_info_unref(info_);
    name_ = object_ = 0;
    info_ = nullptr;
  }

  std::vector<std::string> registrations;

 private:
  static void on_acquired(GDBusConnection*, const gchar*, gpointer self) {
    static_cast<FakeWatcher*>(self)->owned_ = true;
  }
  static void on_call(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                      GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
    const gchar* service = nullptr;
    g_variant_get(parameters, "(&s)", &service);
    static_cast<FakeWatcher*>(self)->registrations.push_back(service);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }
  static GVariant* on_property(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                               const gchar*, GError**, gpointer) {
    return g_variant_new_boolean(TRUE);
  }

  GObj<GDBusConnection> bus_;
  GDBusNodeInfo* info_ = nullptr;
  guint object_ = 0;
  guint name_ = 0;
  bool owned_ = false;
};

class TrayItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_reset();
    tray_show();
    hash = kKey;
    gs_service_base = service_.server().base();
    test_home.forget_calls();
    // A connection left from an earlier test would be to that test's bus, now gone.
    ASSERT_FALSE(g_dbus_connection_is_closed(program_bus_.get()));
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    icon_.reset(gtk_status_icon_new_from_icon_name("system-run"));
    G_GNUC_END_IGNORE_DEPRECATIONS
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    ASSERT_FALSE(gtk_status_icon_is_embedded(icon_.get())) << "this display has a tray";
    G_GNUC_END_IGNORE_DEPRECATIONS
  }
  void TearDown() override {
    placement_.reset();
    state_reset();
    for (GObj<GDBusConnection>* bus : {&program_bus_, &host_bus_}) {
      if (*bus) g_dbus_connection_close_sync(bus->get(), nullptr, nullptr);
    }
    // The next test's g_bus_get makes a new session connection only once this one is gone.
    gpointer session = program_bus_.get();
    g_object_add_weak_pointer(G_OBJECT(session), &session);
    program_bus_.reset();
    // A file chooser of Debian 13's GTK keeps the connection it found for the process's life;
    // each test runs in a process of its own, so only a hold of the program's own is a fault.
    const bool chooser_made = g_type_class_peek(GTK_TYPE_FILE_CHOOSER_DIALOG) != nullptr;
    EXPECT_TRUE(wait_until([&session] { return session == nullptr; }) || chooser_made)
        << "the session connection is still held";
    if (session) g_object_remove_weak_pointer(G_OBJECT(session), &session);
  }

  void place() {
    placement_ = std::make_unique<TrayPlacement>(icon_.get(), program_bus_.get(), kTestGraceMs);
  }

  // Places the icon with the watcher there, and waits for the item to register.
  std::string offered_item() {
    watcher_.start();
    place();
    EXPECT_TRUE(wait_until([this] { return !watcher_.registrations.empty(); }))
        << "no item registered";
    return watcher_.registrations.empty() ? std::string() : watcher_.registrations.back();
  }

  bool has_owner(const std::string& name) {
    Variant reply =
        call(host_bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name.c_str()), "(b)");
    gboolean owned = FALSE;
    if (reply) g_variant_get(reply.get(), "(b)", &owned);
    return owned;
  }

  Variant item_property(const std::string& item, const char* property) {
    Variant reply =
        call(host_bus_.get(), item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
             g_variant_new("(ss)", kItemInterface, property), "(v)");
    if (!reply) return nullptr;
    Variant boxed(g_variant_get_child_value(reply.get(), 0));
    return Variant(g_variant_get_variant(boxed.get()));
  }

  std::string menu_path(const std::string& item) {
    Variant path = item_property(item, "Menu");
    return path ? g_variant_get_string(path.get(), nullptr) : "";
  }

  // The item's menu as a host shows it: labels from the top, "---" for a separator.
  std::vector<std::string> menu_labels_of(const std::string& item) {
    const gchar* all[] = {nullptr};
    Variant reply = call(host_bus_.get(), item, menu_path(item).c_str(), kMenuInterface,
                         "GetLayout", g_variant_new("(ii^as)", 0, -1, all), "(u(ia{sv}av))");
    std::vector<std::string> labels;
    if (!reply) return labels;
    Variant layout(g_variant_get_child_value(reply.get(), 1));
    Variant children(g_variant_get_child_value(layout.get(), 2));
    for (gsize i = 0; i < g_variant_n_children(children.get()); ++i) {
      Variant boxed(g_variant_get_child_value(children.get(), i));
      Variant child(g_variant_get_variant(boxed.get()));
      Variant props(g_variant_get_child_value(child.get(), 1));
      const gchar* type = nullptr;
      const gchar* label = nullptr;
      if (g_variant_lookup(props.get(), "type", "&s", &type) && g_str_equal(type, "separator")) {
        labels.push_back("---");
      } else {
        labels.push_back(g_variant_lookup(props.get(), "label", "&s", &label) ? label : "");
      }
    }
    return labels;
  }

  // Chooses a menu entry as a host does when the user clicks it.
  void click(const std::string& item, const std::string& label) {
    const gchar* all[] = {nullptr};
    Variant reply = call(host_bus_.get(), item, menu_path(item).c_str(), kMenuInterface,
                         "GetLayout", g_variant_new("(ii^as)", 0, -1, all), "(u(ia{sv}av))");
    ASSERT_TRUE(reply);
    Variant layout(g_variant_get_child_value(reply.get(), 1));
    Variant children(g_variant_get_child_value(layout.get(), 2));
    for (gsize i = 0; i < g_variant_n_children(children.get()); ++i) {
      Variant child(
          g_variant_get_variant(Variant(g_variant_get_child_value(children.get(), i)).get()));
      gint32 id = 0;
      g_variant_get_child(child.get(), 0, "i", &id);
      Variant props(g_variant_get_child_value(child.get(), 1));
      const gchar* shown = nullptr;
      if (g_variant_lookup(props.get(), "label", "&s", &shown) && label == shown) {
        call(host_bus_.get(), item, menu_path(item).c_str(), kMenuInterface, "Event",
             g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u), nullptr);
        return;
      }
    }
    ADD_FAILURE() << "no menu entry " << label;
  }

  ScriptedService service_;
  PrivateBus bus_;
  GObj<GDBusConnection> program_bus_ = bus_.session();
  GObj<GDBusConnection> host_bus_ = bus_.connect();
  FakeWatcher watcher_{bus_};
  GObj<GtkStatusIcon> icon_;
  std::unique_ptr<TrayPlacement> placement_;
};

TEST_F(TrayItemTest, StandsInForTheIconWhenNothingEmbedsIt) {
  const std::string item = offered_item();
  ASSERT_EQ(watcher_.registrations.size(), 1u);
  EXPECT_TRUE(g_str_has_prefix(item.c_str(), "org.kde.StatusNotifierItem-"));
  EXPECT_TRUE(has_owner(item));
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  EXPECT_FALSE(gtk_status_icon_get_visible(icon_.get()));  // one icon, not two
  G_GNUC_END_IGNORE_DEPRECATIONS
  EXPECT_EQ(menu_labels_of(item), kMenuWithoutFile);

  Variant title = item_property(item, "Title");
  ASSERT_TRUE(title);
  EXPECT_STREQ(g_variant_get_string(title.get(), nullptr), "Tovimo");
  Variant is_menu = item_property(item, "ItemIsMenu");
  ASSERT_TRUE(is_menu);
  EXPECT_FALSE(g_variant_get_boolean(is_menu.get()));  // a click activates, as on the icon

  // The icon itself, drawn: square ARGB pictures, not blank.
  Variant pixmaps = item_property(item, "IconPixmap");
  ASSERT_TRUE(pixmaps);
  ASSERT_GT(g_variant_n_children(pixmaps.get()), 0u);
  for (gsize i = 0; i < g_variant_n_children(pixmaps.get()); ++i) {
    gint32 width = 0, height = 0;
    GVariant* raw = nullptr;
    g_variant_get_child(pixmaps.get(), i, "(ii@ay)", &width, &height, &raw);
    Variant bytes(raw);
    gsize length = 0;
    const auto* argb =
        static_cast<const guint8*>(g_variant_get_fixed_array(bytes.get(), &length, 1));
    EXPECT_EQ(width, height);
    EXPECT_EQ(length, gsize(width) * height * 4);
    bool drawn = false;
    for (gsize p = 0; p < length; p += 4) drawn = drawn || argb[p] != 0;
    EXPECT_TRUE(drawn) << width << "x" << height << " is blank";
  }
}

TEST_F(TrayItemTest, MenuOffersCheckTaskOnlyWhileAFileIsSelected) {
  const std::string item = offered_item();
  guint updates = 0;
  const guint subscription = g_dbus_connection_signal_subscribe(
      host_bus_.get(), nullptr, kMenuInterface, "LayoutUpdated", nullptr, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
         gpointer count) { ++*static_cast<guint*>(count); },
      &updates, nullptr);

  // Hosts announce each opening of the menu; the menu reads the selection then.
  const auto open_menu = [&] {
    return call(host_bus_.get(), item, menu_path(item).c_str(), kMenuInterface, "AboutToShow",
                g_variant_new("(i)", 0), "(b)");
  };
  flv_movie = "/videos/clip.flv";
  ASSERT_TRUE(open_menu());
  EXPECT_EQ(menu_labels_of(item), kMenuWithFile);
  EXPECT_TRUE(wait_until([&] { return updates >= 1; })) << "no LayoutUpdated";

  flv_movie.reset();
  ASSERT_TRUE(open_menu());
  EXPECT_EQ(menu_labels_of(item), kMenuWithoutFile);
  g_dbus_connection_signal_unsubscribe(host_bus_.get(), subscription);
}

TEST_F(TrayItemTest, ActivatingTheItemAsksBeforeSelectingAFile) {
  const std::string item = offered_item();
  {
    DialogDriver driver;
    driver.then(press("No"));
    call(host_bus_.get(), item, "/StatusNotifierItem", kItemInterface, "Activate",
         g_variant_new("(ii)", 0, 0), nullptr);
    ASSERT_TRUE(driver.drain());
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(driver.seen[0].title, "Confirm");
    EXPECT_EQ(driver.seen[0].text, "Do you want to select file to convert?");
    EXPECT_EQ(driver.seen[0].buttons, (std::vector<std::string>{"Yes", "No"}));
  }
  {
    DialogDriver driver;
    driver.then(press("Yes")).then(press("Cancel"));
    call(host_bus_.get(), item, "/StatusNotifierItem", kItemInterface, "Activate",
         g_variant_new("(ii)", 0, 0), nullptr);
    ASSERT_TRUE(driver.drain());
    EXPECT_EQ(driver.titles(), (std::vector<std::string>{"Confirm", "Open File"}));
  }
  EXPECT_TRUE(service_.server().requests().empty());
}

TEST_F(TrayItemTest, MenuFollowsTheWorkflowItStarted) {
  const std::string item = offered_item();
  const std::string clip = test_home.desktop + "/clip.flv";
  std::ofstream(clip) << "FLV";
  service_.reply("poll", {"OK"});
  guint updates = 0;
  const guint subscription = g_dbus_connection_signal_subscribe(
      host_bus_.get(), nullptr, kMenuInterface, "LayoutUpdated", nullptr, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
         gpointer count) { ++*static_cast<guint*>(count); },
      &updates, nullptr);

  DialogDriver driver;
  driver.then(choose_file(clip));
  click(item, "Select file to convert");
  ASSERT_TRUE(driver.drain());
  EXPECT_EQ(driver.titles(), std::vector<std::string>{"Open File"});
  EXPECT_EQ(service_.server().commands(), std::vector<std::string>{"poll"});
  // The host hears of the new entry without asking.
  EXPECT_TRUE(wait_until([&] { return updates >= 1; })) << "no LayoutUpdated";
  EXPECT_EQ(menu_labels_of(item), kMenuWithFile);

  click(item, "Check task");
  EXPECT_TRUE(wait_until([&] { return service_.server().commands().size() == 2; }));
  EXPECT_EQ(service_.server().commands(), (std::vector<std::string>{"poll", "poll"}));
  g_dbus_connection_signal_unsubscribe(host_bus_.get(), subscription);
}

TEST_F(TrayItemTest, MenuEntriesDoWhatTheIconMenuDoes) {
  const std::string item = offered_item();
  {
    DialogDriver driver;
    driver.then(press("OK"));
    click(item, "Get key");
    ASSERT_TRUE(driver.drain());
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(driver.seen[0].title, "Key information");
    EXPECT_EQ(driver.seen[0].text, "Your key is : " + kKey);
  }

  // One at a time: two browsers started together may write their pages in either order.
  click(item, "Go to website");
  ASSERT_TRUE(wait_until([] { return test_home.browser_urls().size() == 1; }));
  click(item, "Tutorial");
  ASSERT_TRUE(wait_until([] { return test_home.browser_urls().size() == 2; }));
  EXPECT_EQ(test_home.browser_urls(),
            (std::vector<std::string>{service_.server().base() + "index.php",
                                      service_.server().base() + "tutorial.php"}));
  {
    DialogDriver driver;
    driver.then(press("No"));
    click(item, "Exit");
    ASSERT_TRUE(driver.drain());
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(driver.seen[0].title, "confirm");
    EXPECT_EQ(driver.seen[0].text, "Are you sure?");
  }
  EXPECT_TRUE(has_owner(item));  // answered No: still there
  {
    DialogDriver driver;
    driver.then(press("Yes"));
    click(item, "Exit");
    ASSERT_TRUE(driver.drain());
  }
  EXPECT_TRUE(wait_until([&] { return !has_owner(item); }));  // answered Yes: gone from the bus
}

TEST_F(TrayItemTest, KeepsTheIconWithoutAWatcherAndOffersTheItemWhenOneComes) {
  place();
  ASSERT_TRUE(wait_until([this] { return placement_->settled(); }));
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  EXPECT_TRUE(gtk_status_icon_get_visible(icon_.get()));
  G_GNUC_END_IGNORE_DEPRECATIONS
  EXPECT_FALSE(placement_->item().offered());
  EXPECT_FALSE(has_owner(placement_->item().bus_name()));

  // The desktop's tray started after the program, as at login.
  watcher_.start();
  ASSERT_TRUE(wait_until([this] { return watcher_.registrations.size() == 1; }));
  EXPECT_EQ(watcher_.registrations[0], placement_->item().bus_name());
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  EXPECT_FALSE(gtk_status_icon_get_visible(icon_.get()));
  G_GNUC_END_IGNORE_DEPRECATIONS
}

TEST_F(TrayItemTest, IconComesBackWhenTheWatcherGoes) {
  const std::string item = offered_item();
  watcher_.stop();
  ASSERT_TRUE(wait_until([this] { return status_icon_shown(icon_.get()); }));
  EXPECT_TRUE(wait_until([&] { return !has_owner(item); }));

  watcher_.start();  // the desktop's tray restarted
  ASSERT_TRUE(wait_until([this] { return watcher_.registrations.size() == 2; }));
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  EXPECT_FALSE(gtk_status_icon_get_visible(icon_.get()));
  G_GNUC_END_IGNORE_DEPRECATIONS
  EXPECT_EQ(menu_labels_of(watcher_.registrations[1]), kMenuWithoutFile);
}

// The quit request hides the icon; a hidden icon is not replaced by an item.
TEST_F(TrayItemTest, HiddenIconIsNotReplaced) {
  watcher_.start();
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gtk_status_icon_set_visible(icon_.get(), FALSE);
  G_GNUC_END_IGNORE_DEPRECATIONS
  place();
  ASSERT_TRUE(wait_until([this] { return placement_->settled(); }));
  EXPECT_FALSE(placement_->item().offered());
  EXPECT_TRUE(watcher_.registrations.empty());
}

}  // namespace

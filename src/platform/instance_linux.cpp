// Linux side of the one-program-per-session rule: a GApplication on the session bus, whose name
// only one process owns; later starts send it their file and end.
#include <gio/gio.h>

#include <utility>

#include "base/holders.h"
#include "platform/platform.h"

namespace platform {
namespace {

constexpr char kApplicationId[] = "org.tovimo.Tovimo";

// The claim, for the whole run of the first process.
struct Instance {
  GObj<GApplication> application;
  std::function<void(const std::string&)> on_file;
  gulong open_handler = 0;
};
Instance* instance = nullptr;

struct HandedFile {
  std::function<void(const std::string&)> on_file;
  std::string path;
};

gboolean on_handed_file(gpointer data) {
  const auto* handed = static_cast<HandedFile*>(data);
  handed->on_file(handed->path);
  return G_SOURCE_REMOVE;
}

// "open": the files a later start handed over, each on an idle source of its own so that the
// program's dialogs never run inside the bus call.
void on_open(GApplication*, GFile** files, gint count, gchar*, gpointer) {
  if (!instance) return;
  for (gint i = 0; i < count; ++i) {
    GStr path(g_file_get_path(files[i]));
    GStr uri(g_file_get_uri(files[i]));
    // A file that is not local is handed on by its address, which the program then refuses.
    const char* name = path ? path.get() : uri.get();
    if (!name) continue;
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, on_handed_file,
                    new HandedFile{instance->on_file, name},
                    [](gpointer data) { delete static_cast<HandedFile*>(data); });
  }
}

// "activate": a later start without a file; it has said that the program runs, nothing more.
void on_activate(GApplication*, gpointer) {}

}  // namespace

std::vector<std::string> file_arguments(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) files.emplace_back(argv[i]);
  return files;
}

InstanceRole claim_instance(const std::optional<std::string>& file,
                            std::function<void(const std::string& file)> on_file) {
  if (instance) return InstanceRole::kFirst;
  if (!session_bus_present()) return InstanceRole::kAlone;
  GObj<GApplication> application(g_application_new(kApplicationId, G_APPLICATION_HANDLES_OPEN));
  const gulong open_handler =
      g_signal_connect(application.get(), "open", G_CALLBACK(on_open), nullptr);
  g_signal_connect(application.get(), "activate", G_CALLBACK(on_activate), nullptr);
  // Owning the name is one atomic request to the bus daemon: of two racing starts one gets it.
  GErr error;
  if (!g_application_register(application.get(), nullptr, out(error))) {
    g_debug("instance: cannot register: %s", error ? error->message : "unknown error");
    return InstanceRole::kAlone;
  }
  GDBusConnection* bus = g_application_get_dbus_connection(application.get());
  if (!bus) return InstanceRole::kAlone;  // GIO found no bus after all: it runs unclaimed
  if (!g_application_get_is_remote(application.get())) {
    // The bus is shared with the tray, whose losing it must not end the program.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    instance = new Instance{std::move(application), std::move(on_file), open_handler};
    return InstanceRole::kFirst;
  }
  if (file) {
    GObj<GFile> handed(g_file_new_for_path(file->c_str()));
    GFile* files[] = {handed.get()};
    g_application_open(application.get(), files, 1, "");
  }
  // The call is only queued: send it before this process ends.
  g_dbus_connection_flush_sync(bus, nullptr, nullptr);
  return InstanceRole::kHandedOver;
}

void release_instance() {
  if (!instance) return;
  GApplication* application = instance->application.get();
  g_signal_handler_disconnect(application, instance->open_handler);
  // The name goes with the process anyway; giving it up now, and waiting for the daemon to have
  // done so, shortens the time in which a later start would hand over to a program on its way
  // out.
  if (GDBusConnection* bus = g_application_get_dbus_connection(application)) {
    GVar released(g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "ReleaseName", g_variant_new("(s)", kApplicationId), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr));
  }
  delete instance;
  instance = nullptr;
}

bool session_bus_present() {
  const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  GStr socket(g_build_filename(g_get_user_runtime_dir(), "bus", nullptr));
  return g_file_test(socket.get(), G_FILE_TEST_EXISTS);
}

void enter_data_folder() {}

}  // namespace platform

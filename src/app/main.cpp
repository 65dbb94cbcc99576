// Entry point: one program per session, start-up checks, login, announcement, tutorial offer,
// tray, the file it was given, main loop.
#define G_LOG_DOMAIN "tovimo"

#include <gtk/gtk.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/help.h"
#include "base/holders.h"
#include "client/client_api.h"
#include "convert/ffmpeg_ctx.h"
#include "convert/ffmpeg_exec.h"
#include "platform/platform.h"
#include "tray/tray.h"
#include "ui/edialogs.h"

namespace {

// Files handed over by later starts before the tray is up wait for it, the first of them;
// afterwards each goes to the tray as it comes.
bool tray_up = false;
std::optional<std::string> waiting_file;

void on_file(const std::string& path) {
  if (tray_up) {
    tray_open_file(path);
  } else if (!waiting_file) {
    waiting_file = path;
  } else {
    g_message("busy: %s is not taken", path.c_str());
  }
}

gboolean on_waiting_file(gpointer) {
  if (waiting_file) {
    const std::string path = *waiting_file;
    waiting_file.reset();
    tray_open_file(path);
  }
  return G_SOURCE_REMOVE;
}

// The file named on the command line, made absolute against the working folder; any further
// ones are named on standard error and left out.
std::optional<std::string> command_line_file(int argc, char** argv) {
  const std::vector<std::string> files = platform::file_arguments(argc, argv);
  if (files.empty()) return std::nullopt;
  for (std::size_t i = 1; i < files.size(); ++i) {
    std::fprintf(stderr, "Tovimo takes one file at a time: %s is left out\n", files[i].c_str());
  }
  GStr absolute(g_canonicalize_filename(files[0].c_str(), nullptr));
  return std::string(absolute.get());
}

}  // namespace

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  const std::optional<std::string> file = command_line_file(argc, argv);
  if (platform::claim_instance(file, on_file) == platform::InstanceRole::kHandedOver) {
    std::fprintf(stderr, "Tovimo is already running\n");
    return 0;
  }
  if (file) {
    platform::enter_data_folder();
    waiting_file = file;  // it comes before any that a later start hands over
  }
  AppHooks hooks;
  hooks.converter_check = ffmpeg_check_ctx;
  hooks.hide_tray = tray_hide;
  hooks.end_instance = platform::release_instance;
  app_set_hooks(hooks);
  if (!application_init(&argc, &argv)) {
    std::printf("error: %s\n", "initialization error");
    return 0;
  }
  if (!app_try_login()) return 0;
  try_show_help();
  if (newbie &&
      confirm_dialog_run("Confirmation", "Do you want to see the tutorial in your WebBrowser?")) {
    app_open_page(api_tutorial_url(gs_service_base));
  }
  if (!tray_init()) {
    error_dialog_run("tray icon error", "Error while initialization");
    return 0;
  }
  tray_up = true;
  if (waiting_file) g_idle_add(on_waiting_file, nullptr);
  gtk_main();
  platform::release_instance();
  ffmpeg_finish_stops();
  return 0;
}

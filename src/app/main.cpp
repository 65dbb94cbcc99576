// Entry point: start-up checks, login, announcement, tutorial offer, tray, main loop.
#include <gtk/gtk.h>

#include <cstdio>

#include "app/app.h"
#include "app/help.h"
#include "client/client_api.h"
#include "convert/ffmpeg_ctx.h"
#include "convert/ffmpeg_exec.h"
#include "tray/tray.h"
#include "ui/edialogs.h"

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  AppHooks hooks;
  hooks.converter_check = ffmpeg_check_ctx;
  hooks.hide_tray = tray_hide;
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
  gtk_main();
  ffmpeg_finish_stops();
  return 0;
}

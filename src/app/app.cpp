#include "app/app.h"

#include <glade/glade.h>
#include <gtk/gtk.h>

#include "client/client_api.h"
#include "client/gs_global.h"
#include "ui/edialogs.h"

namespace {
constexpr char kInterfaceFile[] = "ui.glade";
AppHooks hooks;
}  // namespace

void app_set_hooks(const AppHooks& given) {
  hooks = given;
}

int application_init(int* argc, char*** argv) {
  // Without the file the dialogs simply have no parent; libglade reports it on stderr.
  xml.reset(glade_xml_new(kInterfaceFile, nullptr, nullptr));
  main_window = xml ? glade_xml_get_widget(xml.get(), "main_window") : nullptr;
  if (!gs_curl_check()) {
    error_dialog_run("libcurl error", "Sorry, but you haven't yet curl");
    return 0;
  }
  gs_init(argc, argv);
  if (!hooks.converter_check || !hooks.converter_check()) {
    error_dialog_run("ffmpeg error", "Sorry, but you haven't yet ffmpeg");
    return 0;
  }
  if (!api_init()) {
    error_dialog_run("client api error", "Error while API initialization");
    return 0;
  }
  return 1;
}

int app_try_login() {
  GsChunkPtr reply;
  if (!api_login(&reply)) {
    error_dialog_run("login error", "Cannot login to the system");
    return 0;
  }
  const LoginReply login = api_classify_login(*reply);
  switch (login.verdict) {
    case LoginVerdict::kAccepted:
      automode = 0;
      return 1;
    case LoginVerdict::kAcceptedAuto:
      automode = 1;
      return 1;
    case LoginVerdict::kAcceptedNewbie:
      automode = 0;
      newbie = 1;
      return 1;
    case LoginVerdict::kEndSilently:
      return 0;
    case LoginVerdict::kRefused:
      error_dialog_run("login error", login.refusal.c_str());
      return 0;
  }
  return 0;
}

void application_quit() {
  if (hooks.hide_tray) hooks.hide_tray();
  gs_abort_transfers();  // a step waiting for the service would otherwise hold the end
  gtk_main_quit();
}

void app_open_page(const std::string& url) {
  std::string reason;
  if (gs_start_browser(url.c_str(), &reason)) return;
  const std::string text = "Cannot open the web browser for\n" + url + "\n" + reason;
  warn_dialog_run("browser error", text.c_str());
}

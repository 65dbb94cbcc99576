#include "app/app.h"

#include <gtk/gtk.h>

#include <memory>

#include "client/client_api.h"
#include "client/gs_global.h"
#include "ui/edialogs.h"

namespace {
constexpr char kInterfaceFile[] = "ui.glade";
AppHooks hooks;

// Whether `text` is a whole, well-formed document: GtkBuilder itself takes a document that
// breaks off part-way for as much of it as it read.
bool well_formed(const gchar* text, gsize length, GErr& error) {
  static const GMarkupParser kNothing = {};
  std::unique_ptr<GMarkupParseContext, decltype(&g_markup_parse_context_free)> context(
      g_markup_parse_context_new(&kNothing, GMarkupParseFlags(0), nullptr, nullptr),
      &g_markup_parse_context_free);
  return g_markup_parse_context_parse(context.get(), text, static_cast<gssize>(length),
                                      out(error)) &&
         g_markup_parse_context_end_parse(context.get(), out(error));
}

// The interface description read by GtkBuilder, or none when the file cannot be read or is not
// a valid description: that is said on standard error, and the windows it had made before the
// fault are destroyed rather than left behind.
GObj<GtkBuilder> load_interface(const char* file) {
  GObj<GtkBuilder> builder(gtk_builder_new());
  GStr text;
  gsize length = 0;
  GErr error;
  {
    gchar* contents = nullptr;
    const bool read = g_file_get_contents(file, &contents, &length, out(error));
    text.reset(contents);
    if (read && well_formed(text.get(), length, error) &&
        gtk_builder_add_from_string(builder.get(), text.get(), length, out(error))) {
      return builder;
    }
  }
  g_printerr("%s: %s\n", file, error ? error->message : "not an interface description");
  std::unique_ptr<GSList, decltype(&g_slist_free)> made(gtk_builder_get_objects(builder.get()),
                                                        &g_slist_free);
  for (GSList* l = made.get(); l; l = l->next) {
    if (GTK_IS_WINDOW(l->data)) gtk_widget_destroy(GTK_WIDGET(l->data));
  }
  return nullptr;
}
}  // namespace

void app_set_hooks(const AppHooks& given) {
  hooks = given;
}

int application_init(int* argc, char*** argv) {
  // Without the file the dialogs simply have no parent.
  xml = load_interface(kInterfaceFile);
  GObject* window = xml ? gtk_builder_get_object(xml.get(), "main_window") : nullptr;
  main_window = GTK_IS_WINDOW(window) ? GTK_WIDGET(window) : nullptr;
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
  if (hooks.end_instance) hooks.end_instance();
  gs_abort_transfers();  // a step waiting for the service would otherwise hold the end
  dialogs_end_all();     // and so would a dialog or chooser still waiting for its answer
  if (gtk_main_level() > 0) gtk_main_quit();  // none is left once the program is on its way out
}

void app_open_page(const std::string& url) {
  std::string reason;
  if (gs_start_browser(url.c_str(), &reason)) return;
  const std::string text = "Cannot open the web browser for\n" + url + "\n" + reason;
  warn_dialog_run("browser error", text.c_str());
}

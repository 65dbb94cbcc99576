#define G_LOG_DOMAIN "tovimo"

#include "app/help.h"

#include <glade/glade.h>
#include <gtk/gtk.h>
#include <pango/pango.h>

#include <string_view>

#include "app/app.h"
#include "client/client_api.h"

namespace {

constexpr char kSkip[] = "SKIP";

bool valid_markup(const char* text) {
  return pango_parse_markup(text, -1, 0, nullptr, nullptr, nullptr, nullptr);
}

// A link in the announcement, which is the service's text: web pages open through the
// program's own browser path; a link of any other kind does nothing.
gboolean on_link_activated(GtkLabel*, const gchar* uri, gpointer) {
  GStr scheme(g_uri_parse_scheme(uri));
  if (scheme && (g_ascii_strcasecmp(scheme.get(), "http") == 0 ||
                 g_ascii_strcasecmp(scheme.get(), "https") == 0)) {
    app_open_page(uri);
  } else {
    g_debug("announcement: a link that is not a web page was not opened: %s", uri);
  }
  return TRUE;  // handled: the toolkit does not open it itself
}

}  // namespace

void try_show_help() {
  GtkWidget* dialog = xml ? glade_xml_get_widget(xml.get(), "dialog_up") : nullptr;
  GtkWidget* label = xml ? glade_xml_get_widget(xml.get(), "label_info") : nullptr;
  if (!dialog || !label || !GTK_IS_DIALOG(dialog) || !GTK_IS_LABEL(label)) return;

  const std::string url = api_help_url(gs_service_base, hash ? *hash : std::string());
  GsChunkPtr reply = gs_curl_getinmemory(url.c_str(), nullptr, nullptr, nullptr);
  if (!reply || std::string_view(reply->buf, reply->size) == kSkip) return;

  GStr body(g_utf8_make_valid(reply->text(), -1));
  gtk_label_set_text(GTK_LABEL(label), body.get());
  g_signal_connect_swapped(dialog, "response", G_CALLBACK(gtk_widget_destroy), dialog);
  gtk_label_set_selectable(GTK_LABEL(label), TRUE);
  g_signal_connect(label, "activate-link", G_CALLBACK(on_link_activated), nullptr);
  // Text that is not valid markup is shown as it stands rather than as an empty label.
  gtk_label_set_use_markup(GTK_LABEL(label), valid_markup(body.get()));
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk_dialog_run(GTK_DIALOG(dialog));
}

#define G_LOG_DOMAIN "tovimo"

#include "app/help.h"

#include <gtk/gtk.h>
#include <pango/pango.h>

#include <memory>
#include <string_view>

#include "app/app.h"
#include "client/client_api.h"

namespace {

constexpr char kSkip[] = "SKIP";

// Whether a label takes `text` as markup. The label reads its links (<a href="..."> with an
// optional title) itself and hands the rest, the links turned into underlined spans, to Pango;
// this judges the text by the same two steps, without a label's warnings.
struct LabelMarkup {
  GString* pango = g_string_new(nullptr);
  ~LabelMarkup() { g_string_free(pango, TRUE); }
};

void append_escaped(GString* out, const gchar* text, gssize length) {
  GStr escaped(g_markup_escape_text(text, length));
  g_string_append(out, escaped.get());
}

void on_markup_start(GMarkupParseContext*, const gchar* element, const gchar** names,
                     const gchar** values, gpointer data, GError** error) {
  GString* out = static_cast<LabelMarkup*>(data)->pango;
  if (g_strcmp0(element, "a") == 0) {
    bool href = false;
    for (int i = 0; names[i]; ++i) {
      if (g_strcmp0(names[i], "href") == 0) {
        href = true;
      } else if (g_strcmp0(names[i], "title") != 0) {
        g_set_error(error, G_MARKUP_ERROR, G_MARKUP_ERROR_UNKNOWN_ATTRIBUTE, "a link's %s",
                    names[i]);
        return;
      }
    }
    if (!href) {
      g_set_error_literal(error, G_MARKUP_ERROR, G_MARKUP_ERROR_INVALID_CONTENT, "a link's href");
      return;
    }
    g_string_append(out, "<span underline=\"single\">");
    return;
  }
  g_string_append_printf(out, "<%s", element);
  for (int i = 0; names[i]; ++i) {
    g_string_append_printf(out, " %s=\"", names[i]);
    append_escaped(out, values[i], -1);
    g_string_append_c(out, '"');
  }
  g_string_append_c(out, '>');
}

void on_markup_end(GMarkupParseContext*, const gchar* element, gpointer data, GError**) {
  GString* out = static_cast<LabelMarkup*>(data)->pango;
  if (g_strcmp0(element, "a") == 0) {
    g_string_append(out, "</span>");
  } else {
    g_string_append_printf(out, "</%s>", element);
  }
}

void on_markup_text(GMarkupParseContext*, const gchar* text, gsize length, gpointer data,
                    GError**) {
  append_escaped(static_cast<LabelMarkup*>(data)->pango, text, static_cast<gssize>(length));
}

bool label_takes_markup(const char* text) {
  static const GMarkupParser kParser = {on_markup_start, on_markup_end, on_markup_text, nullptr,
                                        nullptr};
  LabelMarkup markup;
  std::unique_ptr<GMarkupParseContext, decltype(&g_markup_parse_context_free)> context(
      g_markup_parse_context_new(&kParser, GMarkupParseFlags(0), &markup, nullptr),
      &g_markup_parse_context_free);
  // Like the label, a text that does not start with its own <markup> element gets one.
  const char* start = text;
  while (*start == ' ' || *start == '\t' || *start == '\n' || *start == '\r') ++start;
  const bool rooted = g_str_has_prefix(start, "<markup>");
  if ((!rooted && !g_markup_parse_context_parse(context.get(), "<markup>", -1, nullptr)) ||
      !g_markup_parse_context_parse(context.get(), text, -1, nullptr) ||
      (!rooted && !g_markup_parse_context_parse(context.get(), "</markup>", -1, nullptr)) ||
      !g_markup_parse_context_end_parse(context.get(), nullptr)) {
    return false;
  }
  return pango_parse_markup(markup.pango->str, -1, 0, nullptr, nullptr, nullptr, nullptr);
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
  GObject* dialog = xml ? gtk_builder_get_object(xml.get(), "dialog_up") : nullptr;
  GObject* label = xml ? gtk_builder_get_object(xml.get(), "label_info") : nullptr;
  // The builder keeps its objects after they are destroyed: a dialog once answered has lost its
  // label, and is not shown again.
  if (!GTK_IS_DIALOG(dialog) || !GTK_IS_LABEL(label) ||
      !gtk_widget_is_ancestor(GTK_WIDGET(label), GTK_WIDGET(dialog))) {
    return;
  }

  const std::string url = api_help_url(gs_service_base, hash ? *hash : std::string());
  GsChunkPtr reply = gs_curl_getinmemory(url.c_str(), nullptr, nullptr, nullptr);
  if (!reply || std::string_view(reply->buf, reply->size) == kSkip) return;

  GStr body(g_utf8_make_valid(reply->text(), -1));
  gtk_label_set_text(GTK_LABEL(label), body.get());
  g_signal_connect_swapped(dialog, "response", G_CALLBACK(gtk_widget_destroy), dialog);
  gtk_label_set_selectable(GTK_LABEL(label), TRUE);
  g_signal_connect(label, "activate-link", G_CALLBACK(on_link_activated), nullptr);
  // Text that the label cannot take as markup is shown as it stands rather than as an empty
  // label.
  gtk_label_set_use_markup(GTK_LABEL(label), label_takes_markup(body.get()));
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk_dialog_run(GTK_DIALOG(dialog));
}

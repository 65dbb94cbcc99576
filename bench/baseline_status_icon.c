/* The least a GTK 3 tray program can do: make a status icon and run the main loop.
 *
 * Built a second time with BENCH_DESIGNED_LIBRARIES, which first does what the program's
 * start-up must do with the libraries it is designed on: load the interface description
 * ("ui.glade", from the working directory) with GtkBuilder and initialise libcurl. That
 * tells what those libraries cost apart from what the program itself does. */
#include <gtk/gtk.h>
#ifdef BENCH_DESIGNED_LIBRARIES
#include <curl/curl.h>
#endif

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
#ifdef BENCH_DESIGNED_LIBRARIES
  GtkBuilder* xml = gtk_builder_new();
  gtk_builder_add_from_file(xml, "ui.glade", NULL);
  curl_global_init(CURL_GLOBAL_ALL);
#endif
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  GtkStatusIcon* icon = gtk_status_icon_new_from_icon_name("system-run");
  G_GNUC_END_IGNORE_DEPRECATIONS
  gtk_main();
  g_object_unref(icon);
#ifdef BENCH_DESIGNED_LIBRARIES
  g_object_unref(xml);
  curl_global_cleanup();
#endif
  return 0;
}

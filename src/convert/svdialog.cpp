#include "convert/svdialog.h"

#include <gtk/gtk.h>

#include "base/holders.h"
#include "convert/ffmpeg_ctx.h"

namespace {

// Makes a chooser with the program's two buttons, centred; the caller runs it and destroys it.
GtkWidget* new_chooser(const char* title, GtkFileChooserAction action) {
  GtkWidget* chooser =
      gtk_file_chooser_dialog_new(title, nullptr, action, "_Cancel", GTK_RESPONSE_CANCEL, "_Save",
                                  GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_position(GTK_WINDOW(chooser), GTK_WIN_POS_CENTER);
  return chooser;
}

// Starts the chooser in one of the user's special folders, when GLib knows it, else in the
// working folder (rather than the toolkit's list of recent files).
void start_in(GtkWidget* chooser, GUserDirectory directory) {
  const gchar* folder = g_get_user_special_dir(directory);
  GStr working(folder ? nullptr : g_get_current_dir());
  gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), folder ? folder : working.get());
}

// Runs the chooser, destroys it and returns the accepted path.
std::optional<std::string> run_chooser(GtkWidget* chooser) {
  std::optional<std::string> path;
  if (gtk_dialog_run(GTK_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
    path = take_text(gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser)));
  }
  gtk_widget_destroy(chooser);
  return path;
}

}  // namespace

const char* ffmpeg_proposed_name(int format_code) {
  static const char* const kNames[] = {"movie.avi", "movie.wmv", "movie.3gp",
                                       "movie.mov", "movie.psp", "movie.mp4"};
  if (format_code < kFormatAvi || format_code > kFormatMp4) return nullptr;
  return kNames[format_code];
}

std::optional<std::string> ffmpeg_open_dialog() {
  GtkWidget* chooser = new_chooser("Open File", GTK_FILE_CHOOSER_ACTION_OPEN);
  start_in(chooser, G_USER_DIRECTORY_DESKTOP);
  return run_chooser(chooser);
}

std::optional<std::string> ffmpeg_saveto_dialog(int format_code) {
  GtkWidget* chooser = new_chooser("Save File", GTK_FILE_CHOOSER_ACTION_SAVE);
  gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(chooser), TRUE);
  const char* name = ffmpeg_proposed_name(format_code);
  gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), name ? name : "");
  start_in(chooser, G_USER_DIRECTORY_VIDEOS);
  return run_chooser(chooser);
}

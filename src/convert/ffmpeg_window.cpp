#include "convert/ffmpeg_window.h"

#include <gtk/gtk.h>

#include "base/holders.h"
#include "convert/console_text.h"

namespace {

constexpr std::size_t kShownLines = 200;
constexpr std::size_t kKeptBytes = 64 * 1024;  // of the output's end, enough for kShownLines

}  // namespace

class ConverterWindow : public platform::ConverterListener {
 public:
  explicit ConverterWindow(const std::string& command_line) : command_line_(command_line) {}

  void show(const std::shared_ptr<ConverterWindow>& self);
  void converter_output(const std::string& more) override;
  void converter_ended(const std::string& failure) override;

 private:
  static void on_destroy(GtkWidget*, gpointer self);
  void render();

  std::string command_line_;
  std::string tail_;  // the end of the output so far
  bool ended_ = false;
  GtkWidget* window_ = nullptr;
  GtkWidget* status_ = nullptr;
  GtkTextBuffer* text_ = nullptr;
};

void ConverterWindow::show(const std::shared_ptr<ConverterWindow>& self) {
  if (window_ || ended_) return;
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window_), platform::converter_name());
  gtk_window_set_default_size(GTK_WINDOW(window_), 640, 360);
  // The open window keeps this object; the platform keeps it while the converter runs.
  g_object_set_data_full(
      G_OBJECT(window_), "tovimo-converter", new std::shared_ptr<ConverterWindow>(self),
      [](gpointer held) { delete static_cast<std::shared_ptr<ConverterWindow>*>(held); });
  g_signal_connect(window_, "destroy", G_CALLBACK(on_destroy), this);

  GtkWidget* vbox = gtk_vbox_new(FALSE, 6);
  gtk_container_set_border_width(GTK_CONTAINER(vbox), 6);
  gtk_container_add(GTK_CONTAINER(window_), vbox);

  status_ = gtk_label_new("Converting...");
  gtk_misc_set_alignment(GTK_MISC(status_), 0, 0.5);
  gtk_box_pack_start(GTK_BOX(vbox), status_, FALSE, FALSE, 0);
  // The paths in the line are file names, which need not be UTF-8.
  GStr shown_line(g_filename_display_name(command_line_.c_str()));
  GtkWidget* command = gtk_label_new(shown_line.get());
  gtk_label_set_selectable(GTK_LABEL(command), TRUE);
  gtk_label_set_line_wrap(GTK_LABEL(command), TRUE);
  gtk_misc_set_alignment(GTK_MISC(command), 0, 0.5);
  gtk_box_pack_start(GTK_BOX(vbox), command, FALSE, FALSE, 0);

  GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_AUTOMATIC,
                                 GTK_POLICY_AUTOMATIC);
  GtkWidget* view = gtk_text_view_new();
  gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
  gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(view), FALSE);
  PangoFontDescription* mono = pango_font_description_from_string("monospace");
  gtk_widget_modify_font(view, mono);
  pango_font_description_free(mono);
  text_ = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
  gtk_container_add(GTK_CONTAINER(scroller), view);
  gtk_box_pack_start(GTK_BOX(vbox), scroller, TRUE, TRUE, 0);

  GtkWidget* buttons = gtk_hbutton_box_new();
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  GtkWidget* close = gtk_button_new_from_stock(GTK_STOCK_CLOSE);
  g_signal_connect_swapped(close, "clicked", G_CALLBACK(gtk_widget_destroy), window_);
  gtk_container_add(GTK_CONTAINER(buttons), close);
  gtk_box_pack_start(GTK_BOX(vbox), buttons, FALSE, FALSE, 0);
  render();
  gtk_widget_show_all(window_);
}

void ConverterWindow::on_destroy(GtkWidget*, gpointer self) {
  auto* window = static_cast<ConverterWindow*>(self);
  window->window_ = nullptr;
  window->status_ = nullptr;
  window->text_ = nullptr;
}

void ConverterWindow::render() {
  if (!text_) return;
  const std::string view = console_view(tail_, kShownLines);
  gtk_text_buffer_set_text(text_, view.c_str(), static_cast<gint>(view.size()));
}

void ConverterWindow::converter_output(const std::string& more) {
  tail_ += more;
  if (tail_.size() > 2 * kKeptBytes) tail_.erase(0, tail_.size() - kKeptBytes);
  render();
}

void ConverterWindow::converter_ended(const std::string& failure) {
  ended_ = true;
  if (!window_) return;
  if (failure.empty()) {
    gtk_widget_destroy(window_);
    return;
  }
  const std::string text = "The converter failed with " + failure + ".";
  gtk_label_set_text(GTK_LABEL(status_), text.c_str());
}

std::shared_ptr<ConverterWindow> ffmpeg_window_new(const std::string& command_line) {
  return std::make_shared<ConverterWindow>(command_line);
}

void ffmpeg_window_show(const std::shared_ptr<ConverterWindow>& window) {
  window->show(window);
}

std::shared_ptr<platform::ConverterListener> ffmpeg_window_listener(
    const std::shared_ptr<ConverterWindow>& window) {
  return window;
}

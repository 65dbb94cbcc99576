#include "convert/ffmpeg_window.h"

#include <glib/gstdio.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "app/app.h"
#include "base/holders.h"
#include "convert/console_text.h"
#include "convert/ffmpeg_progress.h"
#include "convert/file_state.h"
#include "ui/edialogs.h"

namespace {

// The window's hold on its converter, under this key of the window.
constexpr char kWindowKey[] = "tovimo-converter";

constexpr std::size_t kShownLines = 200;
constexpr std::size_t kKeptBytes = 64 * 1024;  // of the output's end, enough for kShownLines
// The bar pulses, and the time left is counted down, twice a second while the converter runs.
constexpr guint kTickMilliseconds = 500;
// A finished conversion shows its full bar this long before the window closes.
constexpr guint kDoneMilliseconds = 1500;

double seconds_since(gint64 start) {
  return static_cast<double>(g_get_monotonic_time() - start) / G_USEC_PER_SEC;
}

// Whether two destinations are one file: the same name, or names of one file's identity (a
// folder reached through a link; names that differ only in case where the system ignores it).
bool same_file(const std::string& a, const std::string& b) {
  if (a == b) return true;
  const FileState one = file_state(a);
  if (!one.exists || one.id.empty()) return false;
  const FileState other = file_state(b);
  return other.exists && other.id == one.id;
}

// A button with a mnemonic label and an icon beside it, as the toolkit's own buttons for the same
// acts have.
GtkWidget* labelled_button(const char* label, const char* icon_name) {
  GtkWidget* button = gtk_button_new_with_mnemonic(label);
  gtk_button_set_image(GTK_BUTTON(button),
                       gtk_image_new_from_icon_name(icon_name, GTK_ICON_SIZE_BUTTON));
  gtk_button_set_always_show_image(GTK_BUTTON(button), TRUE);
  return button;
}

// A file name as the user reads it: file names need not be UTF-8.
std::string display_name(const std::string& path) {
  return *take_text(g_filename_display_name(path.c_str()));
}

}  // namespace

class ConverterWindow : public platform::ConverterListener,
                        public std::enable_shared_from_this<ConverterWindow> {
 public:
  // Made before the converter starts, so that what stood at the destination before it is known.
  ConverterWindow(const std::string& command_line, const std::string& destination)
      : command_line_(command_line),
        destination_(destination),
        before_(file_state(destination)),
        started_(g_get_monotonic_time()) {
    converting().push_back(this);
  }
  ~ConverterWindow() override {
    remove_sources();
    forget(false);
  }

  void show(const std::shared_ptr<ConverterWindow>& self);
  void converter_output(const std::string& more) override;
  void converter_ended(const std::string& failure) override;

 private:
  static void on_destroy(GtkWidget*, gpointer self);
  static gboolean on_delete_event(GtkWidget*, GdkEvent*, gpointer self);
  static void on_close_clicked(GtkButton*, gpointer self);
  static void on_stop_clicked(GtkButton*, gpointer self);
  static gboolean on_tick_timeout(gpointer self);
  static gboolean on_done_timeout(gpointer self);
  bool may_close();
  void stop();
  void render_output();
  void render_progress();
  void set_status(const std::string& text);
  void announce_done();
  void remove_unfinished();
  void remove_sources();
  void forget(bool by_itself);
  bool shares_destination_with_running() const;

  // The conversions whose converter has not ended yet, to tell apart what each of them wrote
  // when two name one destination.
  static std::vector<ConverterWindow*>& converting() {
    static std::vector<ConverterWindow*> windows;
    return windows;
  }

  std::string command_line_;
  std::string destination_;
  FileState before_;  // what stood at the destination when nothing of this conversion had run
  gint64 started_;
  std::string tail_;   // the end of the output so far
  std::string shown_;  // what the output view holds
  FfmpegProgressReader progress_;
  bool ended_ = false;
  bool stopping_ = false;
  bool asking_ = false;  // the question whether to stop is open: the window stays till answered
  guint tick_id_ = 0;
  guint done_id_ = 0;
  GtkWidget* window_ = nullptr;
  GtkWidget* status_ = nullptr;
  GtkWidget* bar_ = nullptr;
  GtkWidget* stop_ = nullptr;
  GtkWidget* view_ = nullptr;
  GtkTextBuffer* text_ = nullptr;
};

void ConverterWindow::show(const std::shared_ptr<ConverterWindow>& self) {
  if (window_ || ended_) return;
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window_), platform::converter_name());
  gtk_window_set_default_size(GTK_WINDOW(window_), 640, 400);
  // The open window keeps this object; the platform keeps it while the converter runs.
  g_object_set_data_full(
      G_OBJECT(window_), kWindowKey, new std::shared_ptr<ConverterWindow>(self),
      [](gpointer held) { delete static_cast<std::shared_ptr<ConverterWindow>*>(held); });
  g_signal_connect(window_, "destroy", G_CALLBACK(on_destroy), this);
  g_signal_connect(window_, "delete-event", G_CALLBACK(on_delete_event), this);

  GtkWidget* vbox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  gtk_container_set_border_width(GTK_CONTAINER(vbox), 6);
  gtk_container_add(GTK_CONTAINER(window_), vbox);

  status_ = gtk_label_new("Converting...");
  gtk_label_set_xalign(GTK_LABEL(status_), 0);
  gtk_label_set_line_wrap(GTK_LABEL(status_), TRUE);
  gtk_box_pack_start(GTK_BOX(vbox), status_, FALSE, FALSE, 0);
  GtkWidget* command = gtk_label_new(display_name(command_line_).c_str());
  gtk_label_set_selectable(GTK_LABEL(command), TRUE);
  gtk_label_set_line_wrap(GTK_LABEL(command), TRUE);
  gtk_label_set_xalign(GTK_LABEL(command), 0);
  gtk_box_pack_start(GTK_BOX(vbox), command, FALSE, FALSE, 0);

  bar_ = gtk_progress_bar_new();
  gtk_progress_bar_set_show_text(GTK_PROGRESS_BAR(bar_), TRUE);
  gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(bar_), 0.05);
  gtk_box_pack_start(GTK_BOX(vbox), bar_, FALSE, FALSE, 0);

  GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_AUTOMATIC,
                                 GTK_POLICY_AUTOMATIC);
  view_ = gtk_text_view_new();
  gtk_text_view_set_editable(GTK_TEXT_VIEW(view_), FALSE);
  gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(view_), FALSE);
  // The converter lays its output out in columns.
  GObj<GtkCssProvider> mono(gtk_css_provider_new());
  gtk_css_provider_load_from_data(mono.get(), "textview { font-family: monospace; }", -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(view_),
                                 GTK_STYLE_PROVIDER(mono.get()),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  text_ = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view_));
  gtk_container_add(GTK_CONTAINER(scroller), view_);
  gtk_box_pack_start(GTK_BOX(vbox), scroller, TRUE, TRUE, 0);

  GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  gtk_box_set_spacing(GTK_BOX(buttons), 6);
  stop_ = labelled_button("_Stop", "process-stop");
  g_signal_connect(stop_, "clicked", G_CALLBACK(on_stop_clicked), this);
  gtk_container_add(GTK_CONTAINER(buttons), stop_);
  GtkWidget* close = labelled_button("_Close", "window-close");
  g_signal_connect(close, "clicked", G_CALLBACK(on_close_clicked), this);
  gtk_container_add(GTK_CONTAINER(buttons), close);
  gtk_box_pack_start(GTK_BOX(vbox), buttons, FALSE, FALSE, 0);
  render_output();
  render_progress();
  tick_id_ = g_timeout_add(kTickMilliseconds, on_tick_timeout, this);
  gtk_widget_show_all(window_);
  gtk_widget_grab_focus(close);  // rather than the command line's text, or Stop
}

void ConverterWindow::remove_sources() {
  if (tick_id_) g_source_remove(tick_id_);
  if (done_id_) g_source_remove(done_id_);
  tick_id_ = done_id_ = 0;
}

void ConverterWindow::on_destroy(GtkWidget*, gpointer self) {
  auto* window = static_cast<ConverterWindow*>(self);
  window->remove_sources();
  window->window_ = nullptr;
  window->status_ = nullptr;
  window->bar_ = nullptr;
  window->stop_ = nullptr;
  window->view_ = nullptr;
  window->text_ = nullptr;
}

// Closing the window while the converter runs asks whether to stop it; either way the window
// goes, and a converter that is not stopped goes on without it. The caller holds this object
// for the question's nested loop, in which the converter may end.
bool ConverterWindow::may_close() {
  if (ended_ || stopping_) return true;
  const std::string question = "The conversion to " + display_name(destination_) +
                               " is still running.\nDo you want to stop it?";
  asking_ = true;
  const bool stop_it = confirm_dialog_run("Stop the conversion?", question.c_str()) == 1;
  asking_ = false;
  if (stop_it && !ended_) stop();
  return true;
}

gboolean ConverterWindow::on_delete_event(GtkWidget*, GdkEvent*, gpointer self) {
  const auto window = static_cast<ConverterWindow*>(self)->shared_from_this();
  window->may_close();
  return FALSE;  // and the window is destroyed
}

void ConverterWindow::on_close_clicked(GtkButton*, gpointer self) {
  const auto window = static_cast<ConverterWindow*>(self)->shared_from_this();
  if (window->may_close() && window->window_) gtk_widget_destroy(window->window_);
}

void ConverterWindow::on_stop_clicked(GtkButton*, gpointer self) {
  static_cast<ConverterWindow*>(self)->stop();
}

void ConverterWindow::stop() {
  if (ended_ || stopping_) return;
  if (!platform::stop_converter(*this)) return;
  stopping_ = true;
  if (stop_) gtk_widget_set_sensitive(stop_, FALSE);
  set_status("Stopping the conversion...");
}

gboolean ConverterWindow::on_tick_timeout(gpointer self) {
  static_cast<ConverterWindow*>(self)->render_progress();
  return G_SOURCE_CONTINUE;
}

gboolean ConverterWindow::on_done_timeout(gpointer self) {
  auto* window = static_cast<ConverterWindow*>(self);
  window->done_id_ = 0;
  // With the question still open, its answer closes the window.
  if (window->window_ && !window->asking_) gtk_widget_destroy(window->window_);
  return G_SOURCE_REMOVE;
}

void ConverterWindow::set_status(const std::string& text) {
  if (status_) gtk_label_set_text(GTK_LABEL(status_), text.c_str());
}

// Only the lines that changed are rewritten (as a rule the progress line at the end), so that the
// view lays out and redraws those alone.
void ConverterWindow::render_output() {
  if (!text_) return;
  std::string view = console_view(tail_, kShownLines);
  if (view == shown_) return;
  const bool more_lines =
      std::count(view.begin(), view.end(), '\n') != std::count(shown_.begin(), shown_.end(), '\n');
  std::size_t same = 0;
  while (same < view.size() && same < shown_.size() && view[same] == shown_[same]) ++same;
  const std::size_t line_start = same == 0 ? std::string::npos : view.rfind('\n', same - 1);
  same = line_start == std::string::npos ? 0 : line_start + 1;
  GtkTextIter from, end;
  gtk_text_buffer_get_iter_at_offset(text_, &from,
                                     static_cast<gint>(g_utf8_strlen(view.data(), same)));
  gtk_text_buffer_get_end_iter(text_, &end);
  gtk_text_buffer_delete(text_, &from, &end);
  gtk_text_buffer_insert(text_, &from, view.data() + same, static_cast<gint>(view.size() - same));
  shown_ = std::move(view);
  if (!more_lines && same > 0) return;  // only the last line changed, where the view already is
  // The last lines are the ones to see: scroll to the start of the last.
  GtkTextIter last;
  gtk_text_buffer_get_end_iter(text_, &last);
  gtk_text_iter_set_line_offset(&last, 0);
  GtkTextMark* mark = gtk_text_buffer_get_mark(text_, "last-line");
  if (mark) {
    gtk_text_buffer_move_mark(text_, mark, &last);
  } else {
    mark = gtk_text_buffer_create_mark(text_, "last-line", &last, TRUE);
  }
  gtk_text_view_scroll_to_mark(GTK_TEXT_VIEW(view_), mark, 0, FALSE, 0, 0);
}

// The bar shows the fraction done with the time left, or pulses while the duration is unknown.
void ConverterWindow::render_progress() {
  if (!bar_) return;
  const FfmpegProgress& progress = progress_.progress();
  const auto fraction = ffmpeg_progress_fraction(progress);
  const std::string text = ffmpeg_progress_text(progress, seconds_since(started_));
  if (fraction) {
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), *fraction);
  } else if (!ended_) {
    gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar_));
  }
  gtk_progress_bar_set_text(GTK_PROGRESS_BAR(bar_), text.c_str());
}

void ConverterWindow::converter_output(const std::string& more) {
  progress_.feed(more);
  tail_ += more;
  if (tail_.size() > 2 * kKeptBytes) tail_.erase(0, tail_.size() - kKeptBytes);
  render_output();  // the bar follows at the next tick
}

// This conversion no longer writes its destination. When it ended by itself, what stands there
// now is its result: any other conversion still running towards the same destination counts
// from that, as none of it is that one's doing. A stopped one keeps its file only while another
// runs, and that one may have written it.
void ConverterWindow::forget(bool by_itself) {
  auto& windows = converting();
  const auto self = std::find(windows.begin(), windows.end(), this);
  if (self == windows.end()) return;
  windows.erase(self);
  if (!by_itself) return;
  const FileState result = file_state(destination_);
  for (ConverterWindow* other : windows) {
    if (same_file(other->destination_, destination_)) other->before_ = result;
  }
}

bool ConverterWindow::shares_destination_with_running() const {
  const auto& windows = converting();
  return std::any_of(windows.begin(), windows.end(), [this](const ConverterWindow* other) {
    return other != this && same_file(other->destination_, destination_);
  });
}

void ConverterWindow::converter_ended(const std::string& failure) {
  ended_ = true;
  if (tick_id_) g_source_remove(tick_id_);
  tick_id_ = 0;
  if (stop_) gtk_widget_set_sensitive(stop_, FALSE);
  if (failure.empty()) {
    forget(true);
    announce_done();
    if (!window_) return;
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), 1.0);
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(bar_), "100 %");
    set_status("Done: " + display_name(destination_) + " is ready.");
    done_id_ = g_timeout_add(kDoneMilliseconds, on_done_timeout, this);
    return;
  }
  if (stopping_) {
    remove_unfinished();
  } else {
    set_status("The converter failed with " + failure + ".");
  }
  forget(!stopping_);
  if (bar_) {
    // The bar keeps the part done, if known, and no longer pulses or counts down.
    const auto fraction = ffmpeg_progress_fraction(progress_.progress());
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), fraction.value_or(0));
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(bar_), stopping_ ? "Stopped" : "Failed");
  }
}

// What the converter left at the destination when stopped is only part of a file. Only what
// this converter wrote goes: a file that stood there before and that it never opened stays, and
// so does one that another running conversion writes too.
void ConverterWindow::remove_unfinished() {
  const std::string shown = display_name(destination_);
  if (shares_destination_with_running()) {
    set_status("The conversion was stopped. " + shown +
               " was kept: another conversion is writing it.");
    return;
  }
  const FileState now = file_state(destination_);
  const int error = !now.exists || now == before_         ? ENOENT
                    : g_remove(destination_.c_str()) == 0 ? 0
                                                          : errno;
  if (error == 0) {
    set_status("The conversion was stopped. The unfinished file " + shown + " was removed.");
  } else if (error == ENOENT) {
    set_status("The conversion was stopped before it wrote " + shown + ".");
  } else {
    set_status("The conversion was stopped. The unfinished file " + shown +
               " could not be removed: " + g_strerror(error) + ".");
  }
}

// A desktop notification names the file, with an action that opens the folder holding it.
void ConverterWindow::announce_done() {
  GStr name(g_filename_display_basename(destination_.c_str()));
  GStr folder(g_path_get_dirname(destination_.c_str()));
  GStr shown_folder(g_filename_display_name(folder.get()));
  GStr body(g_strdup_printf("%s is ready in %s.", name.get(), shown_folder.get()));
  const auto uri = take_text(g_filename_to_uri(folder.get(), nullptr, nullptr));
  std::function<void()> open_folder;
  if (uri) open_folder = [uri] { app_open_page(*uri); };
  platform::show_notification("Conversion done", body.get(), "Open folder", std::move(open_folder));
}

std::shared_ptr<ConverterWindow> ffmpeg_window_new(const std::string& command_line,
                                                   const std::string& destination) {
  return std::make_shared<ConverterWindow>(command_line, destination);
}

void ffmpeg_window_show(const std::shared_ptr<ConverterWindow>& window) {
  window->show(window);
}

std::shared_ptr<platform::ConverterListener> ffmpeg_window_listener(
    const std::shared_ptr<ConverterWindow>& window) {
  return window;
}

bool ffmpeg_windows_open() {
  std::unique_ptr<GList, decltype(&g_list_free)> open(gtk_window_list_toplevels(), &g_list_free);
  for (GList* l = open.get(); l; l = l->next) {
    if (g_object_get_data(G_OBJECT(l->data), kWindowKey) &&
        gtk_widget_get_visible(GTK_WIDGET(l->data))) {
      return true;
    }
  }
  return false;
}

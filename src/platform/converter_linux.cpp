// Starting the converter on Linux. The converter writes its output into an unlinked temporary
// file rather than a pipe, so it never blocks on us and outlives the program; a window of the
// program shows that output while it runs (Linux gives the converter no console of its own).
#include <fcntl.h>
#include <gtk/gtk.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "base/holders.h"
#include "platform/console_text.h"
#include "platform/platform.h"

namespace platform {
namespace {

constexpr guint kRefreshMilliseconds = 250;
constexpr std::size_t kShownLines = 200;
constexpr std::size_t kKeptBytes = 64 * 1024;  // of the output's end, enough for kShownLines

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// One running converter and its window. Lives until the converter has exited and the window
// is gone, whichever comes last.
struct ConverterRun {
  GPid pid = 0;
  UniqueFd output;
  std::string tail;  // the end of the output read so far
  GtkWidget* window = nullptr;
  GtkWidget* status = nullptr;
  GtkTextBuffer* text = nullptr;
  guint refresh_id = 0;
  bool exited = false;

  ~ConverterRun() {
    if (refresh_id) g_source_remove(refresh_id);
    g_spawn_close_pid(pid);
  }
};

void read_output(ConverterRun* run) {
  char block[16 * 1024];
  ssize_t n;
  while ((n = read(run->output.get(), block, sizeof block)) > 0) {
    run->tail.append(block, static_cast<std::size_t>(n));
    if (run->tail.size() > 2 * kKeptBytes) run->tail.erase(0, run->tail.size() - kKeptBytes);
  }
  if (run->text) {
    const std::string view = console_view(run->tail, kShownLines);
    gtk_text_buffer_set_text(run->text, view.c_str(), static_cast<gint>(view.size()));
  }
}

gboolean on_refresh_timeout(gpointer data) {
  read_output(static_cast<ConverterRun*>(data));
  return G_SOURCE_CONTINUE;
}

void on_window_destroy(GtkWidget*, gpointer data) {
  auto* run = static_cast<ConverterRun*>(data);
  run->window = nullptr;
  run->status = nullptr;
  run->text = nullptr;
  if (run->exited) delete run;  // else the child watch frees it
}

std::string describe_failure(gint wait_status) {
  if (WIFEXITED(wait_status)) {
    return "The converter failed with exit status " + std::to_string(WEXITSTATUS(wait_status)) +
           ".";
  }
  if (WIFSIGNALED(wait_status)) {
    return "The converter was stopped by signal " + std::to_string(WTERMSIG(wait_status)) + ".";
  }
  return "The converter ended abnormally.";
}

void on_child_exit(GPid, gint wait_status, gpointer data) {
  auto* run = static_cast<ConverterRun*>(data);
  run->exited = true;
  if (run->refresh_id) g_source_remove(run->refresh_id);
  run->refresh_id = 0;
  read_output(run);
  if (!run->window) {
    delete run;
    return;
  }
  if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) {
    gtk_widget_destroy(run->window);  // frees the run through on_window_destroy
    return;
  }
  gtk_label_set_text(GTK_LABEL(run->status), describe_failure(wait_status).c_str());
}

void build_window(ConverterRun* run, const std::string& command_line) {
  run->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(run->window), converter_name());
  gtk_window_set_default_size(GTK_WINDOW(run->window), 640, 360);
  g_signal_connect(run->window, "destroy", G_CALLBACK(on_window_destroy), run);

  GtkWidget* vbox = gtk_vbox_new(FALSE, 6);
  gtk_container_set_border_width(GTK_CONTAINER(vbox), 6);
  gtk_container_add(GTK_CONTAINER(run->window), vbox);

  run->status = gtk_label_new("Converting...");
  gtk_misc_set_alignment(GTK_MISC(run->status), 0, 0.5);
  gtk_box_pack_start(GTK_BOX(vbox), run->status, FALSE, FALSE, 0);
  GtkWidget* command = gtk_label_new(command_line.c_str());
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
  run->text = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
  gtk_container_add(GTK_CONTAINER(scroller), view);
  gtk_box_pack_start(GTK_BOX(vbox), scroller, TRUE, TRUE, 0);

  GtkWidget* buttons = gtk_hbutton_box_new();
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  GtkWidget* close = gtk_button_new_from_stock(GTK_STOCK_CLOSE);
  g_signal_connect_swapped(close, "clicked", G_CALLBACK(gtk_widget_destroy), run->window);
  gtk_container_add(GTK_CONTAINER(buttons), close);
  gtk_box_pack_start(GTK_BOX(vbox), buttons, FALSE, FALSE, 0);
  gtk_widget_show_all(run->window);
}

// In the child, before exec: its own session, so that neither a closing terminal nor the
// program's end takes the converter with it.
void detach_child(gpointer) {
  setsid();
}

}  // namespace

bool start_converter(const std::string& command_line, std::string* error) {
  GErr err;
  gchar** raw_argv = nullptr;
  if (!g_shell_parse_argv(command_line.c_str(), nullptr, &raw_argv, out(err))) {
    *error = std::string("its command line cannot be split: ") + err->message;
    return false;
  }
  StrVec argv(raw_argv);
  GStr program(g_find_program_in_path(argv.get()[0]));
  if (!program) {
    *error = std::string("\"") + argv.get()[0] + "\" was not found on PATH";
    return false;
  }

  gchar* raw_path = nullptr;
  UniqueFd output_writer(g_file_open_tmp("tovimo-converter-XXXXXX.log", &raw_path, out(err)));
  GStr path(raw_path);
  if (output_writer.get() < 0) {
    *error = std::string("no file for its output: ") + err->message;
    return false;
  }
  auto run = std::make_unique<ConverterRun>();
  run->output = UniqueFd(open(path.get(), O_RDONLY | O_CLOEXEC));
  unlink(path.get());
  UniqueFd no_input(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (run->output.get() < 0 || no_input.get() < 0) {
    *error = "no file for its output";
    return false;
  }
  if (!g_spawn_async_with_fds(
          nullptr, argv.get(), nullptr,
          static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), detach_child,
          nullptr, &run->pid, no_input.get(), output_writer.get(), output_writer.get(), out(err))) {
    *error = err->message;
    return false;
  }
  build_window(run.get(), command_line);
  run->refresh_id = g_timeout_add(kRefreshMilliseconds, on_refresh_timeout, run.get());
  const GPid pid = run->pid;
  g_child_watch_add(pid, on_child_exit, run.release());
  return true;
}

}  // namespace platform

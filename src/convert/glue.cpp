#define G_LOG_DOMAIN "tovimo"

#include "convert/glue.h"

#include <glib/gstdio.h>
#include <gtk/gtk.h>

#include <fcntl.h>

#include <cerrno>

#include "app/app.h"
#include "base/precondition.h"
#include "client/client_api.h"
#include "convert/ffmpeg_exec.h"
#include "convert/ffmpeg_window.h"
#include "convert/svdialog.h"
#include "ui/edialogs.h"

namespace {

constexpr char kUnhandledTitle[] = "unhandled error";
constexpr char kUnhandledText[] = "UNHANDLED ERROR";

const char* key() {
  return hash ? hash->c_str() : "";
}

const char* or_null(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

// Poll and yes replies are tested after trimming at both ends; their error message is decoded
// from the reply trimmed only at the front, so that the base64 padding at its end survives.
std::optional<std::string> trimmed_text(const GsChunkPtr& reply) {
  return reply ? gs_string_trim(reply->text()) : std::nullopt;
}
std::optional<std::string> error_text(const GsChunkPtr& reply) {
  return reply ? gs_string_trim_start(reply->text()) : std::nullopt;
}

// The question for a file that is not .flv; the file is dropped whatever the answer.
bool try_again() {
  const int again = confirm_dialog_run(
      "Try again?", "You have selected not valid flash movie (.flv)\nTry again?");
  flv_movie.reset();
  return again && !exit_confirmed;
}

// The open chooser, again and again while the user picks a file that is not .flv and asks to try
// again; an .flv file is polled for.
void choose_file() {
  // Each check of exit_confirmed below: the user confirmed Exit while a dialog of this step was
  // open, and nothing new starts from then on.
  for (;;) {
    if (exit_confirmed) return;
    flv_movie = ffmpeg_open_dialog();
    if (!flv_movie) return;
    if (glue_has_flv_extension(*flv_movie)) {
      glue_check_task();
      return;
    }
    if (!try_again()) return;
  }
}

// Why `path` cannot be converted, or nothing when it is a file the program can read.
std::string unreadable(const std::string& path) {
  if (!g_file_test(path.c_str(), G_FILE_TEST_EXISTS)) return g_strerror(ENOENT);
  if (g_file_test(path.c_str(), G_FILE_TEST_IS_DIR)) return "It is a folder, not a file.";
  // Tested before opening it: opening a pipe would wait for a writer.
  if (!g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) return "It is not a regular file.";
  const int fd = g_open(path.c_str(), O_RDONLY, 0);
  if (fd < 0) return g_strerror(errno);
  g_close(fd, nullptr);
  return {};
}

// The background checks for the order.
struct Watch {
  bool active = false;
  guint source = 0;         // the next check's timer; none while a check runs
  unsigned round = 0;       // checks made since the page opened
  gint64 opened_us = 0;     // when the page opened, on the monotonic clock
  unsigned generation = 0;  // changes at every start and stop: a check in flight was overtaken
  void (*listener)(bool watching) = nullptr;
};
Watch watch;
constexpr guint kBusyRetryMs = 1000;  // a window of the program is open: look again this soon

// Whether the program shows anything the user is busy with: a dialog, a chooser, the tray's
// menu, a converter's window.
bool own_window_open() {
  return dialogs_open() || ffmpeg_windows_open() || (menu && gtk_widget_get_visible(menu));
}

gboolean on_order_check(gpointer);

void schedule_check(guint wait_ms) {
  if (watch.source) g_source_remove(watch.source);
  watch.source = g_timeout_add(wait_ms, on_order_check, nullptr);
}

// Schedules the next round, unless it would start after the checks' span.
void next_check() {
  const unsigned wait = glue_order_check_wait(watch.round);
  const gint64 at_us = g_get_monotonic_time() + gint64(wait) * G_USEC_PER_SEC;
  if (at_us - watch.opened_us > gint64(kOrderCheckSpanSeconds) * G_USEC_PER_SEC) {
    g_message("order check: no order %u min after the order page opened; no more checks",
              kOrderCheckSpanSeconds / 60);
    glue_watch_stop();
    return;
  }
  schedule_check(wait * 1000);
}

gboolean on_order_check(gpointer) {
  watch.source = 0;
  if (exit_confirmed || !flv_movie) {
    glue_watch_stop();
    return G_SOURCE_REMOVE;
  }
  if (!glue_may_start() || own_window_open()) {
    schedule_check(kBusyRetryMs);
    return G_SOURCE_REMOVE;
  }
  const unsigned generation = watch.generation;
  const unsigned round = ++watch.round;
  // Not marked busy: the tray stays free while the service is waited for, and whatever the user
  // starts meanwhile overtakes this check.
  GsChunkPtr reply;
  const int polled = api_poll(key(), &reply);
  if (generation != watch.generation) return G_SOURCE_REMOVE;
  const std::optional<std::string> text = trimmed_text(reply);
  if (!polled || !text || text->empty() || api_reply_holds(text, "ERROR")) {
    // Shown only when the user checks the task; the order may still come.
    g_message("order check %u: %s", round,
              !polled             ? "no reply from the service"
              : !text || text->empty() ? "the reply holds no text"
                                  : "the service answered with an error");
    next_check();
    return G_SOURCE_REMOVE;
  }
  if (!api_reply_holds(text, "CONVERT")) {
    next_check();
    return G_SOURCE_REMOVE;
  }
  if (!glue_may_start() || own_window_open()) {
    // Something opened while the reply was on its way: the order stays open at the service and
    // comes again with the next check, once that has closed.
    --watch.round;
    schedule_check(kBusyRetryMs);
    return G_SOURCE_REMOVE;
  }
  glue_watch_stop();
  {
    GlueBusy busy;
    glue_convert_process(text->c_str());
  }
  if (watch.listener) watch.listener(false);  // the selection has ended
  return G_SOURCE_REMOVE;
}

}  // namespace

unsigned glue_order_check_wait(unsigned round) {
  unsigned wait = kOrderCheckFirstSeconds;
  for (unsigned i = 0; i < round && wait < kOrderCheckLongestSeconds; ++i) wait *= 2;
  return wait < kOrderCheckLongestSeconds ? wait : kOrderCheckLongestSeconds;
}

void glue_watch_start() {
  const bool was_watching = watch.active;
  watch.active = true;
  ++watch.generation;
  watch.round = 0;
  watch.opened_us = g_get_monotonic_time();
  schedule_check(glue_order_check_wait(0) * 1000);
  if (!was_watching && watch.listener) watch.listener(true);
}

void glue_watch_stop() {
  ++watch.generation;
  if (watch.source) g_source_remove(watch.source);
  watch.source = 0;
  if (!watch.active) return;
  watch.active = false;
  if (watch.listener) watch.listener(false);
}

bool glue_watching() {
  return watch.active;
}

void glue_watch_set_listener(void (*listener)(bool watching)) {
  watch.listener = listener;
}

GlueBusy::GlueBusy() {
  ++workflow_depth;
}
GlueBusy::~GlueBusy() {
  --workflow_depth;
}
bool glue_may_start() {
  return workflow_depth == 0 && !exit_confirmed;
}

bool glue_has_flv_extension(const std::string& path) {
  const std::string::size_type dot = path.rfind('.');
  return dot != std::string::npos && path.compare(dot, std::string::npos, ".flv") == 0;
}

void glue_select_file() {
  GlueBusy busy;
  glue_watch_stop();
  choose_file();
}

void glue_open_file(const std::string& path) {
  GlueBusy busy;
  if (exit_confirmed) return;
  const std::string reason = unreadable(path);
  if (!reason.empty()) {
    const std::string text = "Cannot convert\n" + path + "\n" + reason;
    error_dialog_run("file error", text.c_str());
    return;
  }
  glue_watch_stop();
  flv_movie = path;
  if (glue_has_flv_extension(path)) {
    glue_check_task();
  } else if (try_again()) {
    choose_file();
  }
}

void glue_check_task() {
  TV_RETURN_IF_FAIL(in_progress == FALSE, "in_progress == FALSE");
  TV_RETURN_IF_FAIL(flv_movie.has_value(), "flv_movie != NULL");
  if (exit_confirmed) return;
  GlueBusy busy;
  glue_watch_stop();  // this poll answers for the checks in the background too
  GsChunkPtr reply;
  const int polled = api_poll(key(), &reply);
  if (exit_confirmed) return;  // confirmed while the poll was waited for
  if (!polled) {
    error_dialog_run("poll failed", "error while polling the server");
    if (automode == 1) application_quit();
    return;
  }
  const std::optional<std::string> text = trimmed_text(reply);
  if (!text || text->empty()) {
    error_dialog_run("data error", "data transmission error");
    application_quit();
    return;
  }
  if (api_reply_is_ok(text)) {
    app_open_page(api_order_page_url(gs_service_base, key()));
    glue_watch_start();  // the user orders on that page; the order is noticed when it is there
  }
  if (api_reply_holds(text, "ERROR")) {
    glue_error_process(or_null(error_text(reply)));
    application_quit();
  }
  if (api_reply_holds(text, "CONVERT")) glue_convert_process(text->c_str());
}

void glue_convert_process(const char* order_line) {
  if (!order_line) {
    error_dialog_run(kUnhandledTitle, kUnhandledText);
    application_quit();
    return;
  }
  GlueBusy busy;
  GsChunkPtr reply;
  const int consent = confirm_dialog_run(
      "Confirmation", "You have one unfinished task. \n Do you want to process?");
  // Exit confirmed while the question was open: neither answer goes to the service, and the
  // order stays open for the next run. Confirmed while the answer was sent: nothing follows.
  if (!exit_confirmed) consent ? api_yes(key(), &reply) : api_cancel(key(), &reply);
  if (exit_confirmed) {
    flv_movie.reset();
    return;
  }
  if (consent) {
    const std::optional<std::string> yes_text = trimmed_text(reply);
    if (api_reply_is_ok(yes_text)) {
      glue_ffmpeg_parse_and_run(order_line);
    } else if (api_reply_holds(yes_text, "ERROR")) {
      glue_error_process(or_null(error_text(reply)));
    }
  } else {
    const std::optional<std::string> cancel_text =
        reply ? gs_rtrim2(reply->buf, reply->size) : std::nullopt;
    if (!api_reply_is_ok(cancel_text) && api_reply_holds(cancel_text, "ERROR")) {
      glue_error_process(cancel_text->c_str());
    }
  }
  flv_movie.reset();
}

void glue_ffmpeg_parse_and_run(const char* order_line) {
  GlueBusy busy;
  std::optional<FfmpegTask> task = ffmpeg_parse(order_line);
  if (!task) {
    error_dialog_run("ffmpeg failure", "error while parsing");
    return;
  }
  if (exit_confirmed) return;
  std::optional<std::string> destination = ffmpeg_saveto_dialog(task->format_code);
  task->source = flv_movie;
  if (exit_confirmed) return;
  if (!destination) {
    warn_dialog_run("Tovimo", "Canceled");
    return;
  }
  task->destination = std::move(destination);
  if (ffmpeg_execute_task(&*task)) {
    info_dialog_run("status",
                    "Now, please wait while converting in progress.\n"
                    "When the window will be closed, check result");
  }
}

void glue_error_process(const char* reply) {
  if (!reply) {
    error_dialog_run(kUnhandledTitle, kUnhandledText);
    application_quit();
    return;
  }
  const ErrorMessage message = api_decode_error(reply);
  switch (message.kind) {
    case ErrorMessage::kTooFewWords:
      error_dialog_run(kUnhandledTitle, kUnhandledText);
      break;
    case ErrorMessage::kNothing:
      break;
    case ErrorMessage::kMessage:
      error_dialog_run("error", message.text.c_str());
      break;
  }
}

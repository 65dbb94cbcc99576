#include "convert/glue.h"

#include "app/app.h"
#include "base/precondition.h"
#include "client/client_api.h"
#include "convert/ffmpeg_exec.h"
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

}  // namespace

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
    const int again = confirm_dialog_run(
        "Try again?", "You have selected not valid flash movie (.flv)\nTry again?");
    flv_movie.reset();
    if (!again) return;
  }
}

void glue_check_task() {
  TV_RETURN_IF_FAIL(in_progress == FALSE, "in_progress == FALSE");
  TV_RETURN_IF_FAIL(flv_movie.has_value(), "flv_movie != NULL");
  if (exit_confirmed) return;
  GlueBusy busy;
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
  if (api_reply_is_ok(text)) app_open_page(api_order_page_url(gs_service_base, key()));
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

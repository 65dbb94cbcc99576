#include "convert/ffmpeg_exec.h"

#include <cstdio>

#include "convert/ffmpeg_window.h"
#include "platform/platform.h"
#include "ui/edialogs.h"

namespace {
constexpr char kFailureTitle[] = "ffmpeg failure";
// How long the end of the program may wait for stopped converters to be gone.
constexpr unsigned kFinishStopsMs = 1000;
}  // namespace

bool ffmpeg_execute_task(const FfmpegTask* task) {
  const char* missing = !task                ? "task is NULL"
                        : !task->source      ? "source is NULL"
                        : !task->destination ? "destination is NULL"
                                             : nullptr;
  if (missing) {
    error_dialog_run(kFailureTitle, missing);
    return false;
  }
  const std::vector<CommandArg> args = ffmpeg_build_args(*task);
  const std::string line = ffmpeg_render_line(args);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  const auto window =
      platform::converter_followed() ? ffmpeg_window_new(line, *task->destination) : nullptr;
  std::string reason;
  if (platform::start_converter(ffmpeg_argv(args),
                                window ? ffmpeg_window_listener(window) : nullptr, &reason)) {
    if (window) ffmpeg_window_show(window);
    return true;
  }
  const std::string text = "Cannot start the converter:\n" + reason;
  error_dialog_run(kFailureTitle, text.c_str());
  return false;
}

void ffmpeg_finish_stops() {
  platform::finish_stopping(kFinishStopsMs);
}

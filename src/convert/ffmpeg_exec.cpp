#include "convert/ffmpeg_exec.h"

#include <cstdio>

#include "app/edialogs.h"
#include "platform/platform.h"

namespace {
constexpr char kFailureTitle[] = "ffmpeg failure";
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
  const std::string line = ffmpeg_render_line(ffmpeg_build_args(*task));
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  std::string reason;
  if (platform::start_converter(line, &reason)) return true;
  const std::string text = "Cannot start the converter:\n" + reason;
  error_dialog_run(kFailureTitle, text.c_str());
  return false;
}

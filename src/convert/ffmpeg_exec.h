#pragma once

#include "convert/ffmpeg_ctx.h"

// Prints the converter's command line for `task` and starts the converter without waiting.
// Reports every failure in an "ffmpeg failure" dialog and then returns false.
bool ffmpeg_execute_task(const FfmpegTask* task);

// At the program's end: a conversion the user asked to stop is ended for good and its unfinished
// file removed now, rather than when its grace period would have run out; briefly bounded.
void ffmpeg_finish_stops();

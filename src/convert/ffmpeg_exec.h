#pragma once

#include "convert/ffmpeg_ctx.h"

// Prints the converter's command line for `task` and starts the converter without waiting.
// Reports every failure in an "ffmpeg failure" dialog and then returns false.
bool ffmpeg_execute_task(const FfmpegTask* task);

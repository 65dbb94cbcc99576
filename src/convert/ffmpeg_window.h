// The window that shows a started converter's output while it runs, where the system gives the
// converter no console of its own. It closes by itself when the converter succeeds and stays
// with the reason and the last lines when it fails.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

class ConverterWindow;

// A window for the converter started with `command_line` (as printed), not shown yet. The
// platform holds it as the converter's listener; the window holds it while it is open.
std::shared_ptr<ConverterWindow> ffmpeg_window_new(const std::string& command_line);
// Shows the window, once the converter has started.
void ffmpeg_window_show(const std::shared_ptr<ConverterWindow>& window);
// The window as the platform's listener.
std::shared_ptr<platform::ConverterListener> ffmpeg_window_listener(
    const std::shared_ptr<ConverterWindow>& window);

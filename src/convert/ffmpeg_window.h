// The window that shows a started converter's output while it runs, where the system gives the
// converter no console of its own: a progress bar with the time left, the last lines of output,
// and a Stop button. When the converter succeeds a desktop notification says so and the window
// closes by itself; when it fails the window stays with the reason and the last lines.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

class ConverterWindow;

// A window for the converter started with `command_line` (as printed) that writes
// `destination`, not shown yet. The platform holds it as the converter's listener; the window
// holds it while it is open.
std::shared_ptr<ConverterWindow> ffmpeg_window_new(const std::string& command_line,
                                                   const std::string& destination);
// Shows the window, once the converter has started.
void ffmpeg_window_show(const std::shared_ptr<ConverterWindow>& window);
// The window as the platform's listener.
std::shared_ptr<platform::ConverterListener> ffmpeg_window_listener(
    const std::shared_ptr<ConverterWindow>& window);
// Whether a converter's window is on screen.
bool ffmpeg_windows_open();

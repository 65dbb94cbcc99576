// The open and save file choosers. Each returns the chosen path, or none when the user did
// not accept.
#pragma once

#include <optional>
#include <string>

std::optional<std::string> ffmpeg_open_dialog();
// Proposes "movie.<ext>" for the format codes 0 to 5, nothing for any other code.
std::optional<std::string> ffmpeg_saveto_dialog(int format_code);

// The proposed file name for a format code, or none.
const char* ffmpeg_proposed_name(int format_code);

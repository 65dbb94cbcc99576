// Command lines on Windows: the converter's arguments are handed to the new process as one
// Windows command line, which its C runtime splits again by its own rules.
// Pure text processing, so that it can be tested on any system.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Joins `argv` into one Windows command line that the C runtime's argument parser and
// CommandLineToArgvW both split back into exactly `argv`. The program name (argv[0]) is read
// by those parsers without escapes, so it is only enclosed in double quotes when it holds
// blanks; Windows file names cannot hold a double quote.
std::string join_windows_command_line(const std::vector<std::string>& argv);

}  // namespace platform

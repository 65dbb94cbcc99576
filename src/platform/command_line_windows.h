// Command lines on Windows: the printed line is split with the shell-like rules that the rest
// of the program quotes for, and the words are handed to the new process as one Windows
// command line, which its C runtime splits again by its own rules.
// Pure text processing, so that both directions can be tested on any system.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Splits `line` (up to its first NUL) into words as g_shell_parse_argv does: unquoted blanks
// separate words, single quotes keep everything literally, double quotes keep everything but
// an escaping backslash before " \ ` $ or a line break, an unquoted backslash escapes the next
// character (a backslash-newline pair vanishes), a "#" that starts a word at the start of the
// line or after a space or line break comments out the rest of the line. Nothing is expanded.
// None, with the reason in `error` when given, for an unclosed quote, a final lone backslash, a
// final comment sign (GLib refuses it too) or a line without words.
std::optional<std::vector<std::string>> split_shell_words(const std::string& line,
                                                          std::string* error);

// Joins `argv` into one Windows command line that the C runtime's argument parser and
// CommandLineToArgvW both split back into exactly `argv`. The program name (argv[0]) is read
// by those parsers without escapes, so it is only enclosed in double quotes when it holds
// blanks; Windows file names cannot hold a double quote.
std::string join_windows_command_line(const std::vector<std::string>& argv);

}  // namespace platform

#include "platform/command_line_windows.h"

namespace platform {

std::string join_windows_command_line(const std::vector<std::string>& argv) {
  std::string line;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (i > 0) line += ' ';
    const bool plain =
        !arg.empty() && arg.find_first_of(i == 0 ? " \t" : " \t\n\v\"") == std::string::npos;
    if (plain) {
      line += arg;
      continue;
    }
    line += '"';
    if (i == 0) {
      line += arg;
    } else {
      // Backslashes are literal unless a double quote follows them, here or at the closing
      // quote: then each is doubled, and the quote of the text gets one more to escape it.
      std::size_t backslashes = 0;
      for (char c : arg) {
        if (c == '\\') {
          ++backslashes;
          continue;
        }
        if (c == '"') {
          line.append(2 * backslashes + 1, '\\');
        } else {
          line.append(backslashes, '\\');
        }
        backslashes = 0;
        line += c;
      }
      line.append(2 * backslashes, '\\');
    }
    line += '"';
  }
  return line;
}

}  // namespace platform

#include "convert/console_text.h"

#include <glib.h>

#include <deque>

#include "base/holders.h"

std::string console_view(const std::string& output, std::size_t max_lines) {
  std::deque<std::string> lines(1);
  bool carriage_return = false;  // a CR rewrites its line unless a LF follows it
  for (char c : output) {
    if (c == '\n') {
      lines.emplace_back();
      if (lines.size() > max_lines + 1) lines.pop_front();
    } else if (c == '\r') {
      carriage_return = true;
      continue;
    } else {
      if (carriage_return) lines.back().clear();
      lines.back() += c;
    }
    carriage_return = false;
  }
  if (lines.back().empty()) lines.pop_back();
  while (lines.size() > max_lines) lines.pop_front();
  std::string view;
  for (const std::string& line : lines) {
    if (&line != &lines.front()) view += '\n';  // blank leading lines count too
    view += line;
  }
  return *take_text(g_utf8_make_valid(view.data(), static_cast<gssize>(view.size())));
}

// The converter output window's view of the output: valid UTF-8, at most the lines asked
// for, and for plain text exactly its last lines.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "convert/console_text.h"
#include "fuzz_support.h"

namespace {

size_t count_lines(const std::string& view) {
  if (view.empty()) return 0;
  size_t lines = 1;
  for (char c : view) lines += c == '\n' ? 1 : 0;
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t max_lines = data[0] % 12;  // the first byte says how many lines to keep
  const std::string output(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string view = console_view(output, max_lines);

  FUZZ_CHECK(whole_utf8(view));
  FUZZ_CHECK(count_lines(view) <= max_lines);
  FUZZ_CHECK(view.find('\r') == std::string::npos);

  // Text without carriage returns that needs no repair: the view is its last lines as they
  // stand (one final line end aside).
  if (output.find('\r') == std::string::npos && whole_utf8(output)) {
    std::string text = output;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    FUZZ_CHECK(text.size() >= view.size());
    FUZZ_CHECK(text.compare(text.size() - view.size(), view.size(), view) == 0);
    const bool whole = view.size() == text.size();
    const bool at_line_start = !whole && (text[text.size() - view.size() - 1] == '\n');
    const size_t breaks = static_cast<size_t>(std::count(view.begin(), view.end(), '\n'));
    FUZZ_CHECK(whole || (at_line_start && breaks + 1 == max_lines) ||
               (view.empty() && max_lines == 0));
  }
  return 0;
}

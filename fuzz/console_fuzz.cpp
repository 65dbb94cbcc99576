// The converter output window's view of the output: valid UTF-8, at most the lines asked
// for, and for plain text exactly its last lines. Its progress reading: a fraction in [0, 1]
// or none, the same whichever pieces the output arrives in, and finite texts.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "convert/console_text.h"
#include "convert/ffmpeg_progress.h"
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

  // The progress read whole and read in pieces cut where the first byte says.
  FfmpegProgressReader whole, pieces;
  whole.feed(output);
  const size_t step = 1 + data[0] % 7;
  for (size_t at = 0; at < output.size(); at += step) pieces.feed(output.substr(at, step));
  const FfmpegProgress& progress = whole.progress();
  FUZZ_CHECK(progress.duration == pieces.progress().duration);
  FUZZ_CHECK(progress.position == pieces.progress().position);
  FUZZ_CHECK(!progress.duration || (std::isfinite(*progress.duration) && *progress.duration > 0));
  FUZZ_CHECK(!progress.position || (std::isfinite(*progress.position) && *progress.position >= 0));
  const auto fraction = ffmpeg_progress_fraction(progress);
  FUZZ_CHECK(!fraction || (*fraction >= 0 && *fraction <= 1));
  const std::string text = ffmpeg_progress_text(progress, data[0] / 3.0);
  FUZZ_CHECK(whole_utf8(text) && text.size() < 80);
  return 0;
}

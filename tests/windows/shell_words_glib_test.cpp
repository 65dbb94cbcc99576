// The Windows build splits the converter's command line without GLib. Here, on the build
// machine, its splitter is held against GLib's own g_shell_parse_argv, the rules the printed
// line is quoted for, and against the lines that the order code renders for "ffmpeg.exe".
#include <glib.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/holders.h"
#include "convert/ffmpeg_ctx.h"
#include "platform/command_line_windows.h"

// The order code asks the platform layer for the converter's name; this binary has the
// Windows name without the rest of the Windows layer.
namespace platform {
const char* converter_name() {
  return "ffmpeg.exe";
}
bool converter_runtime_present() {
  return false;
}
}  // namespace platform

namespace {

// GLib's split, or none where it refuses the line.
std::optional<std::vector<std::string>> glib_split(const std::string& line) {
  gchar** raw = nullptr;
  GErr error;
  if (!g_shell_parse_argv(line.c_str(), nullptr, &raw, out(error))) return std::nullopt;
  StrVec argv(raw);
  return std::vector<std::string>(argv.get(), argv.get() + g_strv_length(argv.get()));
}

void expect_same_split(const std::string& line) {
  std::string reason;
  const auto ours = platform::split_shell_words(line, &reason);
  const auto glib = glib_split(line);
  ASSERT_EQ(ours.has_value(), glib.has_value()) << "line: [" << line << "] " << reason;
  if (glib) {
    EXPECT_EQ(*ours, *glib) << "line: [" << line << "]";
  } else {
    EXPECT_FALSE(reason.empty());
  }
}

TEST(ShellWordsAgreeWithGlib, OnHandPickedLines) {
  const char* const lines[] = {
      "ffmpeg.exe -i 'D:\\clips\\my clip.flv' -y 'D:\\out\\movie.3gp'",
      "",
      " ",
      "\t\n",
      "''",
      "'' ''",
      "a''b",
      "\"\"",
      "a\"\"",
      "'a'\"b\"c",
      "a\\ b",
      "a\\\\b",
      "a\\",
      "\\",
      "a\\\nb",
      "\\\n",
      "'a\\nb'",
      "\"a\\\nb\"",
      "\"a\\\"b\"",
      "\"a\\\\\"b",
      "\"\\`\\$\\x\"",
      "\"a\\",
      "'abc",
      "\"abc",
      "a'b'c'",
      "#x",
      " #x",
      "a #x\nb",
      "a#x",
      "a\t#x",
      "a\\ #x\nb",
      "a #",
      "a #\nb",
      "#",
      "'a'#x",
      "a\n#x\nb",
      "a\r b",
      "\"it's\"",
      "'say \"hi\"'",
      "\"\\\\\"",
      "a\"b c\"d",
      "'it'\\''s'",
  };
  for (const char* line : lines) expect_same_split(line);
}

TEST(ShellWordsAgreeWithGlib, OnRandomLinesOfQuotesBlanksAndEscapes) {
  const std::string alphabet[] = {" ", "\t", "\n", "'",  "\"",       "\\",   "#",    "`",
                                  "$", "a",  "b",  "\r", "\xc3\xa9", "\\\\", "'\\''"};
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(alphabet) - 1);
  std::uniform_int_distribution<int> length(0, 16);
  for (int i = 0; i < 200000; ++i) {
    std::string line;
    for (int n = length(rng); n > 0; --n) line += alphabet[pick(rng)];
    expect_same_split(line);
    if (HasFailure()) return;
  }
}

FfmpegTask task_with(const std::string& source, const std::string& destination) {
  FfmpegTask task = *ffmpeg_parse("CONVERT 3GP 0 0 0 0 0 0 0");
  task.source = source;
  task.destination = destination;
  return task;
}

TEST(ShellWordsAgreeWithGlib, GiveBackTheOrderArgumentsForTheWindowsConverter) {
  const auto args = ffmpeg_build_args(task_with("D:\\clips\\my clip.flv", "D:\\out\\movie.3gp"));
  const std::string line = ffmpeg_render_line(args);
  EXPECT_EQ(line,
            "ffmpeg.exe -i 'D:\\clips\\my clip.flv' -f 3gp -s 176x144 -vcodec mpeg4 "
            "-acodec libfaac -ab 12.2k -ar 8000 -ac 1 -y 'D:\\out\\movie.3gp'");
  EXPECT_EQ(platform::split_shell_words(line, nullptr), ffmpeg_argv(args));
}

TEST(ShellWordsAgreeWithGlib, GiveBackOddPathsAndValuesUnchanged) {
  const std::string odd[] = {
      "C:\\Users\\J\xc3\xa9r\xc3\xb4me\\it's \"here\"\\",
      "\\\\server\\share\\a  b\\",
      "#not a comment",
      "tab\there",
      "line\nbreak",
      "$HOME `x` \\\"",
      "",
  };
  for (const std::string& text : odd) {
    FfmpegTask task = task_with(text, text + ".3gp");
    task.video_codec = text;
    task.audio_rate = text;
    const auto args = ffmpeg_build_args(task);
    const std::string line = ffmpeg_render_line(args);
    EXPECT_EQ(platform::split_shell_words(line, nullptr), ffmpeg_argv(args)) << line;
    expect_same_split(line);
  }
}

}  // namespace

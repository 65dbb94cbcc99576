// The order parser and the converter's command line. The input is the order line, then
// optionally NUL and the source path, then NUL and the destination path. Whenever the line
// parses, the printed command line must split (as the spawn splits it) into exactly the
// arguments built: every value of the order and both paths unchanged, each one argument.
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/holders.h"
#include "convert/ffmpeg_ctx.h"
#include "fuzz_support.h"

namespace {

std::vector<std::string> split_at(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == separator) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (quiet_glib_logs(), true);
  (void)quiet;
  const std::vector<std::string> parts =
      split_at(std::string(reinterpret_cast<const char*>(data), size), '\0');
  const std::string& line = parts[0];
  if (line.empty()) return 0;  // a precondition warning, covered by the unit tests

  std::optional<FfmpegTask> task = ffmpeg_parse(line.c_str());
  const std::vector<std::string> fields = split_at(line, ' ');
  FUZZ_CHECK(task.has_value() == (fields.size() >= 9 && fields[0] == "CONVERT"));
  if (!task) return 0;

  // Given values are taken unchanged; "0" leaves a field to its format's default.
  const std::optional<std::string>* values[] = {
      &task->frame_size,  &task->video_bitrate, &task->audio_bitrate,  &task->video_codec,
      &task->audio_codec, &task->audio_rate,    &task->audio_channels,
  };
  for (size_t i = 0; i < 7; ++i) {
    if (fields[i + 2] != "0") FUZZ_CHECK(*values[i] == fields[i + 2]);
  }
  FUZZ_CHECK(task->format_code >= kFormatNone && task->format_code <= kFormatMp4);

  task->source = parts.size() > 1 ? parts[1] : "/home/user/Desktop/clip.flv";
  task->destination = parts.size() > 2 ? parts[2] : "/home/user/Videos/movie.avi";
  const std::vector<CommandArg> args = ffmpeg_build_args(*task);
  const std::vector<std::string> argv = ffmpeg_argv(args);
  const std::string printed = ffmpeg_render_line(args);

  gchar** raw = nullptr;
  GErr error;
  FUZZ_CHECK(g_shell_parse_argv(printed.c_str(), nullptr, &raw, out(error)));
  StrVec split(raw);
  std::vector<std::string> received;
  for (gchar** a = split.get(); *a; ++a) received.emplace_back(*a);
  FUZZ_CHECK(received == argv);

  // Each value that is set follows its option name, in the converter's order.
  const std::pair<const char*, const std::optional<std::string>*> options[] = {
      {"-f", &task->format},           {"-s", &task->frame_size},
      {"-b", &task->video_bitrate},    {"-vcodec", &task->video_codec},
      {"-acodec", &task->audio_codec}, {"-ab", &task->audio_bitrate},
      {"-ar", &task->audio_rate},      {"-ac", &task->audio_channels},
  };
  std::vector<std::string> expected = {argv[0], "-i", *task->source};
  for (const auto& [name, value] : options) {
    if (!*value) continue;
    expected.push_back(name);
    expected.push_back(**value);
  }
  expected.push_back("-y");
  expected.push_back(*task->destination);
  FUZZ_CHECK(argv == expected);
  return 0;
}

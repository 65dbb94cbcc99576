#include "convert/ffmpeg_ctx.h"

#include <glib.h>

#include <cstring>

#include "base/holders.h"
#include "base/precondition.h"
#include "platform/platform.h"

namespace {

constexpr guint kLeastFields = 9;  // "CONVERT" and eight order fields
constexpr char kNotGiven[] = "0";

struct FormatEntry {
  const char* name;       // order field 1
  const char* container;  // " -f " value, or none
};
// Indexed by format code.
constexpr FormatEntry kFormats[] = {
    {"AVI", "avi"}, {"WMV", nullptr}, {"3GP", "3gp"},
    {"MOV", "mov"}, {"PSP", "psp"},   {"MP4", "mp4"},
};

// Defaults for order fields 2 to 8 given as "0", by format code; null where none exists.
struct Defaults {
  const char* frame_size;
  const char* video_bitrate;
  const char* audio_bitrate;
  const char* video_codec;
  const char* audio_codec;
  const char* audio_rate;
  const char* audio_channels;
};
constexpr Defaults kDefaults[] = {
    /* AVI */ {},
    /* WMV */ {nullptr, nullptr, nullptr, "wmv1", "wmav2", nullptr, nullptr},
    /* 3GP */ {"176x144", nullptr, "12.2k", "mpeg4", "libfaac", "8000", "1"},
    /* MOV */ {},
    /* PSP */ {},
    /* MP4 */ {"320x240", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

std::optional<std::string> field_or_default(const char* field, const char* fallback) {
  if (std::strcmp(field, kNotGiven) != 0) return std::string(field);
  if (fallback) return std::string(fallback);
  return std::nullopt;
}

// Whether g_shell_parse_argv would split or alter the text if it stood unquoted.
bool needs_quoting(const std::string& text) {
  if (text.empty() || text[0] == '#') return true;
  for (unsigned char c : text) {
    if (g_ascii_isspace(c) || c == '\'' || c == '"' || c == '\\') return true;
  }
  return false;
}

std::string quoted(const std::string& text) {
  return *take_text(g_shell_quote(text.c_str()));
}

}  // namespace

std::optional<FfmpegTask> ffmpeg_parse(const char* s) {
  TV_RETURN_VAL_IF_FAIL(s != NULL, "s != NULL", std::nullopt);
  TV_RETURN_VAL_IF_FAIL(strlen(s) != 0, "strlen (s) != 0", std::nullopt);
  StrVec fields(g_strsplit(s, " ", -1));
  gchar** f = fields.get();
  if (g_strv_length(f) < kLeastFields) return std::nullopt;
  if (std::strcmp(f[0], "CONVERT") != 0) return std::nullopt;

  FfmpegTask task;
  if (std::strcmp(f[1], kNotGiven) != 0) {
    for (int code = kFormatAvi; code <= kFormatMp4; ++code) {
      if (std::strcmp(f[1], kFormats[code].name) == 0) {
        task.format_code = code;
        if (kFormats[code].container) task.format = std::string(kFormats[code].container);
        break;
      }
    }
  }
  const Defaults none{};
  const Defaults& d = task.format_code == kFormatNone ? none : kDefaults[task.format_code];
  task.frame_size = field_or_default(f[2], d.frame_size);
  task.video_bitrate = field_or_default(f[3], d.video_bitrate);
  task.audio_bitrate = field_or_default(f[4], d.audio_bitrate);
  task.video_codec = field_or_default(f[5], d.video_codec);
  task.audio_codec = field_or_default(f[6], d.audio_codec);
  task.audio_rate = field_or_default(f[7], d.audio_rate);
  task.audio_channels = field_or_default(f[8], d.audio_channels);
  return task;
}

std::vector<CommandArg> ffmpeg_build_args(const FfmpegTask& task) {
  std::vector<CommandArg> args{{platform::converter_name()}, {"-i"}, {*task.source, true}};
  const std::pair<const char*, const std::optional<std::string>*> options[] = {
      {"-f", &task.format},           {"-s", &task.frame_size},       {"-b", &task.video_bitrate},
      {"-vcodec", &task.video_codec}, {"-acodec", &task.audio_codec}, {"-ab", &task.audio_bitrate},
      {"-ar", &task.audio_rate},      {"-ac", &task.audio_channels},
  };
  for (const auto& [name, value] : options) {
    if (!*value) continue;
    args.push_back({name});
    args.push_back({**value});
  }
  args.push_back({"-y"});
  args.push_back({*task.destination, true});
  return args;
}

std::string ffmpeg_render_line(const std::vector<CommandArg>& args) {
  std::string line;
  for (const CommandArg& arg : args) {
    if (!line.empty()) line += ' ';
    line += arg.always_quoted || needs_quoting(arg.text) ? quoted(arg.text) : arg.text;
  }
  return line;
}

std::vector<std::string> ffmpeg_argv(const std::vector<CommandArg>& args) {
  std::vector<std::string> argv;
  for (const CommandArg& arg : args) argv.push_back(arg.text);
  return argv;
}

int ffmpeg_check_ctx() {
  return platform::converter_runtime_present() ? 1 : 0;
}

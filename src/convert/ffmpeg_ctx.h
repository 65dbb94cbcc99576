// The conversion order, its parser, and the converter's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

// Format codes; also select the save chooser's proposed file name.
constexpr int kFormatNone = -1;
constexpr int kFormatAvi = 0;
constexpr int kFormatWmv = 1;
constexpr int kFormat3gp = 2;
constexpr int kFormatMov = 3;
constexpr int kFormatPsp = 4;
constexpr int kFormatMp4 = 5;

// One conversion order. A field that is none adds no option to the command line; an empty
// text still does.
struct FfmpegTask {
  std::optional<std::string> format;  // container name for " -f "
  std::optional<std::string> source;
  std::optional<std::string> destination;
  std::optional<std::string> frame_size;
  std::optional<std::string> video_bitrate;
  std::optional<std::string> audio_bitrate;
  std::optional<std::string> video_codec;
  std::optional<std::string> audio_codec;
  std::optional<std::string> audio_rate;
  std::optional<std::string> audio_channels;
  int format_code = kFormatNone;
};

// "CONVERT <format> <size> <vbitrate> <abitrate> <vcodec> <acodec> <rate> <channels> ..." ->
// an order with the defaults of its format for every field given as "0". None when the line
// has fewer than nine space-separated fields or does not start with "CONVERT".
std::optional<FfmpegTask> ffmpeg_parse(const char* s);

// One argument of the converter's command line and how it is printed: paths always stand in
// single quotes, other texts only when the splitting rules would otherwise change them.
struct CommandArg {
  std::string text;
  bool always_quoted = false;
};

// What the converter receives, in order: name, -i source, the options, -y destination.
// The task's source and destination must be set.
std::vector<CommandArg> ffmpeg_build_args(const FfmpegTask& task);

// The printed command line; g_shell_parse_argv gives back exactly the arguments' texts.
std::string ffmpeg_render_line(const std::vector<CommandArg>& args);

// The texts alone.
std::vector<std::string> ffmpeg_argv(const std::vector<CommandArg>& args);

// 1 when the converter and its runtime files are present.
int ffmpeg_check_ctx();

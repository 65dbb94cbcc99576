// The order parser, its defaults, and the converter's command line.
#include <gtest/gtest.h>

#include "base/holders.h"
#include "convert/ffmpeg_ctx.h"
#include "support/log_capture.h"

namespace {

using std::nullopt;

std::string line_of(const std::string& format, const std::string& rest = "0 0 0 0 0 0 0") {
  return "CONVERT " + format + " " + rest;
}

TEST(OrderParseTest, ThreeGpGetsItsFullDefaults) {
  auto t = ffmpeg_parse(line_of("3GP").c_str());
  ASSERT_TRUE(t);
  EXPECT_EQ(t->format, "3gp");
  EXPECT_EQ(t->format_code, 2);
  EXPECT_EQ(t->frame_size, "176x144");
  EXPECT_EQ(t->video_bitrate, nullopt);
  EXPECT_EQ(t->audio_bitrate, "12.2k");
  EXPECT_EQ(t->video_codec, "mpeg4");
  EXPECT_EQ(t->audio_codec, "libfaac");
  EXPECT_EQ(t->audio_rate, "8000");
  EXPECT_EQ(t->audio_channels, "1");
  EXPECT_EQ(t->source, nullopt);
  EXPECT_EQ(t->destination, nullopt);
}

TEST(OrderParseTest, GivenValuesWinFieldByField) {
  auto t = ffmpeg_parse(line_of("3GP", "320x240 0 0 0 aac 0 2").c_str());
  ASSERT_TRUE(t);
  EXPECT_EQ(t->frame_size, "320x240");
  EXPECT_EQ(t->audio_codec, "aac");
  EXPECT_EQ(t->audio_channels, "2");
  EXPECT_EQ(t->video_codec, "mpeg4");
  EXPECT_EQ(t->audio_rate, "8000");
}

TEST(OrderParseTest, EachFormatHasItsCodeContainerAndDefaults) {
  struct Case {
    const char* name;
    int code;
    std::optional<std::string> container, size, vcodec, acodec;
  };
  const Case cases[] = {
      {"AVI", 0, "avi", nullopt, nullopt, nullopt},
      {"WMV", 1, nullopt, nullopt, "wmv1", "wmav2"},
      {"MOV", 3, "mov", nullopt, nullopt, nullopt},
      {"PSP", 4, "psp", nullopt, nullopt, nullopt},
      {"MP4", 5, "mp4", "320x240", nullopt, nullopt},
      {"0", -1, nullopt, nullopt, nullopt, nullopt},
      {"avi", -1, nullopt, nullopt, nullopt, nullopt},
      {"Mp4", -1, nullopt, nullopt, nullopt, nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = ffmpeg_parse(line_of(c.name).c_str());
    ASSERT_TRUE(t);
    EXPECT_EQ(t->format_code, c.code);
    EXPECT_EQ(t->format, c.container);
    EXPECT_EQ(t->frame_size, c.size);
    EXPECT_EQ(t->video_codec, c.vcodec);
    EXPECT_EQ(t->audio_codec, c.acodec);
    EXPECT_EQ(t->video_bitrate, nullopt);
    EXPECT_EQ(t->audio_bitrate, nullopt);
    EXPECT_EQ(t->audio_rate, nullopt);
    EXPECT_EQ(t->audio_channels, nullopt);
  }
}

TEST(OrderParseTest, UnrecognisedFormatKeepsGivenValuesWithoutDefaults) {
  auto t = ffmpeg_parse("CONVERT avi 0 0 0 0 0 0 1");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->format_code, -1);
  EXPECT_EQ(t->audio_channels, "1");
  EXPECT_EQ(t->frame_size, nullopt);
}

TEST(OrderParseTest, NeedsNineFieldsAndTheKeyword) {
  EXPECT_FALSE(ffmpeg_parse("CONVERT 3GP 0 0 0 0 0 0"));
  EXPECT_FALSE(ffmpeg_parse("convert 3GP 0 0 0 0 0 0 0"));
  EXPECT_FALSE(ffmpeg_parse("OK"));
  EXPECT_FALSE(ffmpeg_parse(" CONVERT 3GP 0 0 0 0 0 0 0"));  // field 0 is then empty
  auto t = ffmpeg_parse("CONVERT MP4 0 0 0 0 0 0 0 trailing fields");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->format_code, 5);
}

TEST(OrderParseTest, DoubleSpaceShiftsTheFields) {
  auto t = ffmpeg_parse("CONVERT  3GP 0 0 0 0 0 0 0");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->format_code, -1);
  EXPECT_EQ(t->format, nullopt);
  EXPECT_EQ(t->frame_size, "3GP");
  EXPECT_EQ(t->video_codec, nullopt);
}

TEST(OrderParseTest, EmptyFieldsAndOddCharactersAreGivenValues) {
  auto t = ffmpeg_parse("CONVERT AVI 320x240  0 0 0 0 0 0");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->video_bitrate, "");
  t = ffmpeg_parse("CONVERT AVI 0 1\t000k 0 0 0 0 0");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->video_bitrate, "1\t000k");
}

TEST(OrderParseTest, WarnsForNoTextAndEmptyText) {
  LogCapture log;
  EXPECT_FALSE(ffmpeg_parse(nullptr));
  EXPECT_TRUE(log.has_critical("ffmpeg_parse", "s != NULL")) << log.text();
  EXPECT_FALSE(ffmpeg_parse(""));
  EXPECT_TRUE(log.has_critical("ffmpeg_parse", "strlen (s) != 0")) << log.text();
  EXPECT_FALSE(ffmpeg_parse("CONVERT 3GP"));
  EXPECT_EQ(log.count(), 2u);  // a short line is refused without a warning
}

FfmpegTask with_paths(std::optional<FfmpegTask> task, const std::string& source,
                      const std::string& destination) {
  task->source = source;
  task->destination = destination;
  return *task;
}

std::string rendered(const FfmpegTask& task) {
  return ffmpeg_render_line(ffmpeg_build_args(task));
}

std::vector<std::string> split_like_glib(const std::string& line) {
  gchar** argv = nullptr;
  GErr error;
  EXPECT_TRUE(g_shell_parse_argv(line.c_str(), nullptr, &argv, out(error))) << line;
  std::vector<std::string> result;
  StrVec holder(argv);
  for (gchar** p = argv; p && *p; ++p) result.emplace_back(*p);
  return result;
}

TEST(CommandLineTest, PlainOrdersPrintExactlyAsDesigned) {
  EXPECT_EQ(rendered(with_paths(ffmpeg_parse(line_of("AVI").c_str()), "S", "D")),
            "ffmpeg -i 'S' -f avi -y 'D'");
  EXPECT_EQ(rendered(with_paths(ffmpeg_parse(line_of("WMV").c_str()), "S", "D")),
            "ffmpeg -i 'S' -vcodec wmv1 -acodec wmav2 -y 'D'");
  EXPECT_EQ(rendered(with_paths(ffmpeg_parse(line_of("MP4").c_str()), "S", "D")),
            "ffmpeg -i 'S' -f mp4 -s 320x240 -y 'D'");
  EXPECT_EQ(rendered(with_paths(ffmpeg_parse(line_of("0").c_str()), "S", "D")),
            "ffmpeg -i 'S' -y 'D'");
  EXPECT_EQ(rendered(with_paths(ffmpeg_parse(line_of("3GP").c_str()), "/clips/my clip.flv",
                                "/out/movie.3gp")),
            "ffmpeg -i '/clips/my clip.flv' -f 3gp -s 176x144 -vcodec mpeg4 -acodec libfaac "
            "-ab 12.2k -ar 8000 -ac 1 -y '/out/movie.3gp'");
}

TEST(CommandLineTest, AllOptionsComeInTheConverterOrder) {
  auto task = with_paths(ffmpeg_parse("CONVERT MOV 640x480 800k 96k h264 aac 44100 2"), "S", "D");
  EXPECT_EQ(rendered(task),
            "ffmpeg -i 'S' -f mov -s 640x480 -b 800k -vcodec h264 -acodec aac -ab 96k "
            "-ar 44100 -ac 2 -y 'D'");
  const std::vector<std::string> expected = {
      "ffmpeg",  "-i",  "S",   "-f",  "mov", "-s",    "640x480", "-b", "800k", "-vcodec", "h264",
      "-acodec", "aac", "-ab", "96k", "-ar", "44100", "-ac",     "2",  "-y",   "D"};
  EXPECT_EQ(ffmpeg_argv(ffmpeg_build_args(task)), expected);
}

// Whatever the paths and the service's values hold, the converter receives each unchanged and
// as exactly one argument.
TEST(CommandLineTest, EveryValueAndPathSurvivesTheShellSplit) {
  const std::vector<std::string> awkward = {
      "it's",      "say \"hi\"", "back\\slash", "tab\there", "#comment", "a#b",
      "",          "new\nline",  "'",           "''",        "\\",       "trailing\\",
      "$HOME",     "`id`",       "a;b|c&d",     "~user",     "*?[x]",    "\r\v\f",
      "ünïcødé ✓", "-y",         "\"",          " lead",     "trail ",   "a\\'b",
  };
  for (const std::string& value : awkward) {
    FfmpegTask task;
    task.source = "/tmp/" + value + "/in.flv";
    task.destination = "/tmp/out " + value;
    task.format = "avi";
    task.frame_size = value;
    task.video_bitrate = value;
    task.audio_bitrate = value;
    task.video_codec = value;
    task.audio_codec = value;
    task.audio_rate = value;
    task.audio_channels = value;
    const auto args = ffmpeg_build_args(task);
    const std::string line = ffmpeg_render_line(args);
    EXPECT_EQ(split_like_glib(line), ffmpeg_argv(args))
        << "value: [" << value << "] line: " << line;
  }
}

TEST(CommandLineTest, EveryByteSurvivesTheShellSplit) {
  for (int c = 1; c < 256; ++c) {
    for (const std::string& value : {std::string(1, char(c)), "a" + std::string(1, char(c)) + "b",
                                     std::string(1, char(c)) + "#"}) {
      FfmpegTask task;
      task.source = value;
      task.destination = value;
      task.audio_codec = value;
      const auto args = ffmpeg_build_args(task);
      EXPECT_EQ(split_like_glib(ffmpeg_render_line(args)), ffmpeg_argv(args)) << "byte " << c;
    }
  }
}

TEST(CommandLineTest, QuotesOnlyWhatNeedsIt) {
  FfmpegTask task;
  task.source = "/home/u/it's.flv";
  task.destination = "/home/u/out.avi";
  task.video_bitrate = "1 000k";
  task.audio_codec = "";
  task.video_codec = "lib-x264.1:a=b";
  EXPECT_EQ(rendered(task),
            "ffmpeg -i '/home/u/it'\\''s.flv' -b '1 000k' -vcodec lib-x264.1:a=b -acodec '' "
            "-y '/home/u/out.avi'");
}

}  // namespace

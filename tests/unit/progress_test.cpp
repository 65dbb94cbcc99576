// The converter's progress as read from its own output, on output captured from Debian's
// converter: a 3 s Flash clip converted to AVI at once and in real time, and a generated input
// whose duration the converter cannot know.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "convert/ffmpeg_progress.h"

namespace {

std::string fixture(const std::string& name) {
  std::ifstream in(std::string(TOVIMO_FIXTURE_DIR) + "/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  EXPECT_FALSE(s.str().empty()) << name;
  return s.str();
}

FfmpegProgress read_all(const std::string& output) {
  FfmpegProgressReader reader;
  reader.feed(output);
  return reader.progress();
}

TEST(ProgressTest, KnowsNothingBeforeTheInputIsDescribed) {
  const std::string output = fixture("ffmpeg-avi.txt");
  const FfmpegProgress start = read_all(output.substr(0, output.find("Input #0")));
  EXPECT_EQ(start.duration, std::nullopt);
  EXPECT_EQ(start.position, std::nullopt);
  EXPECT_EQ(ffmpeg_progress_fraction(start), std::nullopt);
  EXPECT_EQ(ffmpeg_progress_text(start, 1), "");
}

TEST(ProgressTest, FollowsAConversionToItsEnd) {
  const std::string output = fixture("ffmpeg-avi-realtime.txt");
  FfmpegProgressReader reader;
  // In the pieces a reader a few times a second gets, cut anywhere, also inside a clock.
  const std::size_t third = output.find("time=00:00:01.56") + 9;
  reader.feed(output.substr(0, third));
  ASSERT_TRUE(reader.progress().duration);
  EXPECT_NEAR(*reader.progress().duration, 3.03, 1e-9);
  EXPECT_NEAR(*reader.progress().position, 1.04, 1e-9);  // the cut line is not read yet
  EXPECT_EQ(ffmpeg_progress_text(reader.progress(), 2.0), "34 % \xE2\x80\x94 about 0:04 left");
  reader.feed(output.substr(third));
  EXPECT_NEAR(*reader.progress().position, 3.04, 1e-9);
  EXPECT_EQ(ffmpeg_progress_fraction(reader.progress()), 1.0);  // a little past the duration
  EXPECT_EQ(ffmpeg_progress_text(reader.progress(), 3.1), "100 %");
}

TEST(ProgressTest, ShowsThePositionWhenTheDurationIsUnknown) {
  const FfmpegProgress progress = read_all(fixture("ffmpeg-no-duration.txt"));
  EXPECT_EQ(progress.duration, std::nullopt);  // "Duration: N/A"
  EXPECT_NEAR(*progress.position, 1.0, 1e-9);
  EXPECT_EQ(ffmpeg_progress_fraction(progress), std::nullopt);
  EXPECT_EQ(ffmpeg_progress_text(progress, 5), "0:01 converted");
}

TEST(ProgressTest, IgnoresLookalikesAndGarbage) {
  // A metadata value that looks like a duration, a clock without seconds, a negative start,
  // an overlong line and bytes that are no text at all.
  const FfmpegProgress progress = read_all(
      "    title           : Duration: 09:00:00.00,\n  Duration: 00:01\n"
      "frame=    1 time=-00:00:00.02 bitrate=N/A\r" +
      std::string(100000, '7') + " time=00:00:09.00\r" +
      std::string("\xff\xfe\0time=\nframe=  2 time=N/A\r", 28));
  EXPECT_EQ(progress.duration, std::nullopt);
  EXPECT_EQ(progress.position, 0.0);
  EXPECT_EQ(ffmpeg_clock_text(3723.4), "1:02:03");
  EXPECT_EQ(ffmpeg_clock_text(-1), "0:00");
  EXPECT_EQ(ffmpeg_time_left(0, 10), std::nullopt);
  EXPECT_EQ(ffmpeg_time_left(0.25, 10), 30.0);
}

}  // namespace

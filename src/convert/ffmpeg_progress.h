// How far the converter has got, read from its own output: the input's duration
// ("  Duration: 00:01:02.50, ...") and the position of its progress lines ("time=00:00:31.20").
// The output is untrusted text; any bytes are read in bounded time and space.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct FfmpegProgress {
  std::optional<double> duration;  // seconds of input, once known and positive
  std::optional<double> position;  // seconds converted so far, never negative
};

// Reads the output piece by piece as it arrives; a line may be split across pieces and is read
// once it ends (line feed or carriage return).
class FfmpegProgressReader {
 public:
  void feed(std::string_view more);
  const FfmpegProgress& progress() const { return progress_; }

 private:
  void read_line();

  FfmpegProgress progress_;
  std::string line_;       // the unfinished line so far, up to a bound
  bool too_long_ = false;  // the unfinished line passed the bound and is ignored
};

// The fraction done in [0, 1], or none while the duration or position is unknown.
std::optional<double> ffmpeg_progress_fraction(const FfmpegProgress& progress);

// Seconds left, estimated from the wall time spent on the fraction done; none until something
// is done.
std::optional<double> ffmpeg_time_left(double fraction, double elapsed_seconds);

// "0:07", "12:34", "1:02:03": a clock reading of whole seconds.
std::string ffmpeg_clock_text(double seconds);

// What the progress bar reads: "42 % — about 0:31 left" (just "42 %" until an estimate
// exists), or "0:31 converted" while the duration is unknown, or "" before anything is known.
std::string ffmpeg_progress_text(const FfmpegProgress& progress, double elapsed_seconds);

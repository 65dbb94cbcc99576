#include "convert/ffmpeg_progress.h"

#include <cmath>
#include <cstdio>

namespace {

// Real lines are under 200 bytes; anything far longer is not one the converter wrote for us.
constexpr std::size_t kLongestLine = 4096;
// Enough for any clock the converter prints; more digits would only be garbage.
constexpr int kMostDigits = 9;
constexpr std::string_view kDurationStart = "  Duration: ";

bool starts_with(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

// Reads "[-]HH:MM:SS[.ff]" at the start of `text`; none unless the whole clock is there.
std::optional<double> read_clock(std::string_view text) {
  std::size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++at;
  auto number = [&](double* value) {
    int digits = 0;
    *value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < kMostDigits) {
      *value = *value * 10 + (text[at] - '0');
      ++at;
      ++digits;
    }
    return digits > 0;
  };
  double hours, minutes, seconds;
  if (!number(&hours) || at >= text.size() || text[at++] != ':') return std::nullopt;
  if (!number(&minutes) || at >= text.size() || text[at++] != ':') return std::nullopt;
  if (!number(&seconds)) return std::nullopt;
  if (at < text.size() && text[at] == '.') {
    ++at;
    double scale = 0.1;
    for (int digits = 0; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      if (digits++ < kMostDigits) seconds += (text[at] - '0') * scale;
      scale /= 10;
    }
  }
  const double total = hours * 3600 + minutes * 60 + seconds;
  return negative ? 0.0 : total;
}

}  // namespace

void FfmpegProgressReader::feed(std::string_view more) {
  for (char c : more) {
    // The converter ends each progress line with a carriage return as soon as it prints it, so
    // only whole lines are read: a clock cut short would read as a smaller one.
    if (c == '\n' || c == '\r') {
      if (!too_long_) read_line();
      line_.clear();
      too_long_ = false;
    } else if (!too_long_) {
      if (line_.size() < kLongestLine) {
        line_ += c;
      } else {
        too_long_ = true;
        line_.clear();
      }
    }
  }
}

void FfmpegProgressReader::read_line() {
  const std::string_view line = line_;
  if (!progress_.duration && starts_with(line, kDurationStart)) {
    const auto duration = read_clock(line.substr(kDurationStart.size()));
    if (duration && *duration > 0) progress_.duration = duration;
    return;
  }
  // Progress lines: "frame=  75 fps=... time=00:00:03.04 ..." or "size=  116kB time=...".
  if (!starts_with(line, "frame=") && !starts_with(line, "size=")) return;
  const std::size_t time = line.find(" time=");
  if (time == std::string_view::npos) return;
  const auto position = read_clock(line.substr(time + 6));
  if (position) progress_.position = position;
}

std::optional<double> ffmpeg_progress_fraction(const FfmpegProgress& progress) {
  if (!progress.duration || !progress.position) return std::nullopt;
  const double fraction = *progress.position / *progress.duration;
  if (!std::isfinite(fraction)) return std::nullopt;
  return fraction < 0 ? 0.0 : fraction > 1 ? 1.0 : fraction;
}

std::optional<double> ffmpeg_time_left(double fraction, double elapsed_seconds) {
  if (!(fraction > 0) || !(elapsed_seconds > 0) || fraction > 1) return std::nullopt;
  return elapsed_seconds * (1 - fraction) / fraction;
}

std::string ffmpeg_clock_text(double seconds) {
  // Beyond some 11,000 years the reading stops growing: an estimate that large is noise.
  const long long whole =
      std::isfinite(seconds) && seconds > 0 ? std::llround(std::fmin(seconds, 3.6e14)) : 0;
  const long long hours = whole / 3600, minutes = whole / 60 % 60, rest = whole % 60;
  char text[48];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, rest);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", minutes, rest);
  }
  return text;
}

std::string ffmpeg_progress_text(const FfmpegProgress& progress, double elapsed_seconds) {
  const auto fraction = ffmpeg_progress_fraction(progress);
  if (!fraction) {
    return progress.position ? ffmpeg_clock_text(*progress.position) + " converted" : "";
  }
  const int percent = static_cast<int>(std::floor(*fraction * 100));
  std::string text = std::to_string(percent) + " %";
  const auto left = ffmpeg_time_left(*fraction, elapsed_seconds);
  if (left && percent < 100) text += " \xE2\x80\x94 about " + ffmpeg_clock_text(*left) + " left";
  return text;
}

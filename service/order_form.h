// The order page's form: its fields, and the checks that decide what may be stored.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/protocol.h"

namespace svc {

// Longest option value accepted, after trimming.
constexpr std::size_t kMaxOptionLength = 32;

// One option field of the form.
struct OptionField {
  Option option;
  std::string_view name;     // form parameter name
  std::string_view label;    // shown to the user
  std::string_view example;  // an accepted value, shown as a hint
  std::string_view rule;     // what is accepted, in words
};

constexpr std::array<OptionField, kOptionCount> kOptionFields = {{
    {Option::kFrameSize, "frame_size", "Frame size", "320x240", "width x height, as in 320x240"},
    {Option::kVideoBitrate, "video_bitrate", "Video bit rate", "800k",
     "a number with an optional k or M, as in 800k or 800000"},
    {Option::kAudioBitrate, "audio_bitrate", "Audio bit rate", "12.2k",
     "a number with an optional k or M, as in 64k or 12.2k"},
    {Option::kVideoCodec, "video_codec", "Video codec", "mpeg4",
     "letters, digits, '_' and '-', starting with a letter or digit"},
    {Option::kAudioCodec, "audio_codec", "Audio codec", "aac",
     "letters, digits, '_' and '-', starting with a letter or digit"},
    {Option::kAudioRate, "audio_rate", "Audio sample rate", "44100", "a whole number of hertz"},
    {Option::kAudioChannels, "audio_channels", "Audio channels", "2", "a number from 1 to 8"},
}};

constexpr std::string_view kFormatField = "format";
constexpr std::string_view kKeyField = "data";

// The form as submitted: raw texts, empty where a field was left out.
struct OrderForm {
  std::string format;
  std::array<std::string, kOptionCount> values;
};

// Takes the first value of each form field; missing fields stay empty.
OrderForm read_order_form(const Params& form);
// The form filled in with an order, so that it can be edited; not-given options stay empty.
OrderForm form_from_order(const Order& order);

// The text to store for one option: kNotGiven for an empty value or "0", the trimmed value when
// it is acceptable, none when it is refused.
std::optional<std::string> check_option_value(Option option, std::string_view raw);

struct FormCheck {
  std::optional<Order> order;         // set only when nothing was refused
  std::vector<std::string> problems;  // one sentence per refused field
};
FormCheck check_order_form(const OrderForm& form);

}  // namespace svc

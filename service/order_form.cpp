#include "service/order_form.h"

#include <algorithm>

namespace svc {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_alnum(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string_view trim(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

// A positive whole number without a leading zero, of at most `max_digits` digits.
bool is_count(std::string_view text, std::size_t max_digits) {
  return !text.empty() && text.size() <= max_digits && text[0] != '0' &&
         std::all_of(text.begin(), text.end(), is_digit);
}

bool is_frame_size(std::string_view text) {
  const std::size_t x = text.find('x');
  return x != std::string_view::npos && is_count(text.substr(0, x), 5) &&
         is_count(text.substr(x + 1), 5);
}

// "64k", "12.2k", "800000", "1.5M": digits, an optional fraction, an optional unit.
bool is_bitrate(std::string_view text) {
  if (!text.empty() && (text.back() == 'k' || text.back() == 'K' || text.back() == 'M')) {
    text.remove_suffix(1);
  }
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  const auto digits = [](std::string_view part) {
    return !part.empty() && std::all_of(part.begin(), part.end(), is_digit);
  };
  if (!digits(whole) || (dot != std::string_view::npos && !digits(fraction))) return false;
  return text.find_first_of("123456789") != std::string_view::npos;
}

bool is_codec(std::string_view text) {
  return !text.empty() && is_alnum(text[0]) && std::all_of(text.begin(), text.end(), [](char c) {
    return is_alnum(c) || c == '_' || c == '-';
  });
}

bool matches(Option option, std::string_view text) {
  switch (option) {
    case Option::kFrameSize:
      return is_frame_size(text);
    case Option::kVideoBitrate:
    case Option::kAudioBitrate:
      return is_bitrate(text);
    case Option::kVideoCodec:
    case Option::kAudioCodec:
      return is_codec(text);
    case Option::kAudioRate:
      return is_count(text, 7);
    case Option::kAudioChannels:
      return text.size() == 1 && text[0] >= '1' && text[0] <= '8';
  }
  return false;
}

std::string first_value(const Params& params, std::string_view name) {
  const auto it = params.find(std::string(name));
  return it == params.end() ? std::string() : it->second;
}

}  // namespace

OrderForm read_order_form(const Params& form) {
  OrderForm result;
  result.format = first_value(form, kFormatField);
  for (const OptionField& field : kOptionFields) {
    result.values[static_cast<std::size_t>(field.option)] = first_value(form, field.name);
  }
  return result;
}

OrderForm form_from_order(const Order& order) {
  OrderForm form;
  form.format = order.format;
  for (std::size_t i = 0; i < kOptionCount; ++i) {
    if (order.options[i] != kNotGiven) form.values[i] = order.options[i];
  }
  return form;
}

std::optional<std::string> check_option_value(Option option, std::string_view raw) {
  const std::string_view text = trim(raw);
  if (text.empty() || text == kNotGiven) return std::string(kNotGiven);
  // The pattern checks admit printable ASCII only; the length bound keeps the order line short.
  if (text.size() > kMaxOptionLength || !matches(option, text)) return std::nullopt;
  return std::string(text);
}

FormCheck check_order_form(const OrderForm& form) {
  FormCheck check;
  Order order = make_order(trim(form.format));
  if (!is_format(order.format)) check.problems.push_back("Pick one of the six formats.");
  for (const OptionField& field : kOptionFields) {
    const std::size_t i = static_cast<std::size_t>(field.option);
    std::optional<std::string> value = check_option_value(field.option, form.values[i]);
    if (value) {
      order.options[i] = std::move(*value);
    } else {
      check.problems.push_back(std::string(field.label) + ": use " + std::string(field.rule) +
                               ", at most " + std::to_string(kMaxOptionLength) +
                               " characters, or leave it empty.");
    }
  }
  if (check.problems.empty()) check.order = std::move(order);
  return check;
}

}  // namespace svc

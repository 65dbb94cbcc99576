// The order service's wire texts: client keys, the command endpoint's query, order lines and
// error replies. Pure: no sockets, no storage.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace svc {

// Query or form parameters as the HTTP layer hands them over (duplicates kept).
using Params = std::multimap<std::string, std::string>;

// The six container names an order may ask for, in the tray program's format-code order.
constexpr std::array<std::string_view, 6> kFormats = {"AVI", "WMV", "3GP", "MOV", "PSP", "MP4"};

// The seven converter options of an order, in order-line order.
enum class Option : std::size_t {
  kFrameSize,
  kVideoBitrate,
  kAudioBitrate,
  kVideoCodec,
  kAudioCodec,
  kAudioRate,
  kAudioChannels,
};
constexpr std::size_t kOptionCount = 7;

// "0" on the order line means "not given".
constexpr std::string_view kNotGiven = "0";

// One conversion order. Every text is free of spaces, so the line splits back into exactly
// these fields.
struct Order {
  std::string format;                             // one of kFormats
  std::array<std::string, kOptionCount> options;  // kNotGiven where not given

  const std::string& option(Option o) const { return options[static_cast<std::size_t>(o)]; }
  std::string& option(Option o) { return options[static_cast<std::size_t>(o)]; }
  bool operator==(const Order& other) const {
    return format == other.format && options == other.options;
  }
};

// An order with the given format and every option not given.
Order make_order(std::string_view format);
bool is_format(std::string_view text);

// "CONVERT <format> <size> <vbitrate> <abitrate> <vcodec> <acodec> <rate> <channels>".
std::string order_line(const Order& order);

// Exactly 32 lowercase hexadecimal digits.
bool is_client_key(std::string_view text);

enum class Command { kLogin, kPoll, kYes, kCancel };

struct IoRequest {
  Command command;
  std::string key;
};
struct QueryError {
  std::string message;  // human-readable, for the error reply
};

// Reads "cmd=<command>&data=<key>&ver=1"; parameters it does not know are ignored, a known one
// given twice is an error.
std::variant<IoRequest, QueryError> parse_io_query(const Params& query);
// Reads the announcement endpoint's "hash=<key>&ver=1"; the key on success.
std::variant<std::string, QueryError> parse_hp_query(const Params& query);

// Reads the order page's query: no "data" at all asks for the home page (none); otherwise
// "data=<key>", with "ver=1" or no "ver".
std::variant<std::optional<std::string>, QueryError> parse_page_query(const Params& query);

// Standard base64 with "=" padding.
std::string base64_encode(std::string_view bytes);
// "ERROR " and the message in base64: the form the tray program decodes and shows.
std::string error_reply(std::string_view message);

// Reply texts of the command endpoint.
inline constexpr std::string_view kReplyOk = "OK";
inline constexpr std::string_view kReplyNewbie = "NEWBIE";
inline constexpr std::string_view kReplySkip = "SKIP";

}  // namespace svc

#include "service/protocol.h"

#include <algorithm>

namespace svc {

namespace {

constexpr std::string_view kProtocolVersion = "1";

// A query value read by name: absent, present once, or an error.
struct Lookup {
  std::optional<std::string> value;
  std::optional<QueryError> error;
};

Lookup single_param(const Params& params, const std::string& name) {
  const auto [first, last] = params.equal_range(name);
  if (first == last) return {};
  if (std::next(first) != last) return {std::nullopt, QueryError{"Parameter given twice: " + name}};
  return {first->second, std::nullopt};
}

std::optional<QueryError> check_version(const Lookup& ver, bool required) {
  if (ver.error) return ver.error;
  if (!ver.value) {
    if (required) return QueryError{"Missing protocol version"};
    return std::nullopt;
  }
  if (*ver.value != kProtocolVersion) return QueryError{"Unsupported protocol version"};
  return std::nullopt;
}

std::variant<std::string, QueryError> read_key(const Params& params, const std::string& name) {
  Lookup key = single_param(params, name);
  if (key.error) return *key.error;
  if (!key.value) return QueryError{"Missing client key"};
  if (!is_client_key(*key.value)) return QueryError{"Malformed client key"};
  return *key.value;
}

std::optional<Command> command_named(const std::string& name) {
  if (name == "login") return Command::kLogin;
  if (name == "poll") return Command::kPoll;
  if (name == "yes") return Command::kYes;
  if (name == "cancel") return Command::kCancel;
  return std::nullopt;
}

}  // namespace

Order make_order(std::string_view format) {
  Order order;
  order.format = std::string(format);
  order.options.fill(std::string(kNotGiven));
  return order;
}

bool is_format(std::string_view text) {
  return std::find(kFormats.begin(), kFormats.end(), text) != kFormats.end();
}

std::string order_line(const Order& order) {
  std::string line = "CONVERT " + order.format;
  for (const std::string& value : order.options) line += ' ' + value;
  return line;
}

bool is_client_key(std::string_view text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::variant<IoRequest, QueryError> parse_io_query(const Params& query) {
  Lookup cmd = single_param(query, "cmd");
  if (cmd.error) return *cmd.error;
  if (!cmd.value) return QueryError{"Missing command"};
  const std::optional<Command> command = command_named(*cmd.value);
  if (!command) return QueryError{"Unknown command"};
  if (auto bad = check_version(single_param(query, "ver"), true)) return *bad;
  auto key = read_key(query, "data");
  if (auto* error = std::get_if<QueryError>(&key)) return *error;
  return IoRequest{*command, std::get<std::string>(std::move(key))};
}

std::variant<std::string, QueryError> parse_hp_query(const Params& query) {
  if (auto bad = check_version(single_param(query, "ver"), true)) return *bad;
  return read_key(query, "hash");
}

std::variant<std::optional<std::string>, QueryError> parse_page_query(const Params& query) {
  if (query.count("data") == 0) return std::optional<std::string>();
  if (auto bad = check_version(single_param(query, "ver"), false)) return *bad;
  auto key = read_key(query, "data");
  if (auto* error = std::get_if<QueryError>(&key)) return *error;
  return std::optional<std::string>(std::get<std::string>(std::move(key)));
}

std::string base64_encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned n = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += kAlphabet[n >> 6 & 63];
    out += kAlphabet[n & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += rest == 2 ? kAlphabet[n >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

std::string error_reply(std::string_view message) {
  return "ERROR " + base64_encode(message);
}

}  // namespace svc

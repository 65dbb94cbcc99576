// The service's command line and the default place of its database.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace svc {

constexpr char kDefaultHost[] = "127.0.0.1";
constexpr int kDefaultPort = 8765;

struct ServiceOptions {
  std::string host = kDefaultHost;  // without the brackets of an IPv6 address
  int port = kDefaultPort;          // 0: any free port
  std::optional<std::string> db_path;
  std::optional<std::string> announcement;     // none when not given or empty
  std::vector<std::string> public_hosts;       // further names it is reached by, "NAME[:PORT]"
  std::optional<std::string> tls_certificate;  // PEM chain and key: serve https; both or none
  std::optional<std::string> tls_key;
  bool help = false;
};

struct OptionError {
  std::string message;
};

// Reads the arguments after the program name: "--listen HOST:PORT", "--db PATH",
// "--announce TEXT", "--public-host NAME[:PORT]" (repeatable), "--tls-cert FILE" with
// "--tls-key FILE" (each also as "--name=value") and "--help".
std::variant<ServiceOptions, OptionError> parse_options(const std::vector<std::string>& args);

struct ListenAddress {
  std::string host;
  int port;
};
// "HOST:PORT" or "[IPv6]:PORT", port 0 to 65535.
std::optional<ListenAddress> parse_listen(std::string_view text);

// A name the service is reached by as a Host header carries it: "NAME", "NAME:PORT" or
// "[IPv6]" with an optional ":PORT"; none for anything else.
std::optional<std::string> parse_public_host(std::string_view text);

// "http://HOST:PORT/" (https with `tls`), brackets around an IPv6 host.
std::string listen_url(const std::string& host, int port, bool tls = false);

// "$XDG_DATA_HOME/tovimo-service/orders.sqlite", XDG_DATA_HOME defaulting to
// "$HOME/.local/share"; a relative XDG_DATA_HOME is ignored, as the XDG rules say. Either
// argument may be none (unset); none when neither gives an absolute folder.
std::optional<std::string> default_db_path(const char* xdg_data_home, const char* home);

std::string usage_text(std::string_view program);

}  // namespace svc

#include "service/options.h"

#include <algorithm>
#include <cctype>

namespace svc {

namespace {

bool is_absolute(const char* path) {
  return path && path[0] == '/';
}

std::optional<int> parse_port(std::string_view text) {
  if (text.empty() || text.size() > 5 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const int port = std::stoi(std::string(text));
  if (port > 65535) return std::nullopt;
  return port;
}

}  // namespace

std::optional<ListenAddress> parse_listen(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  const std::optional<int> port = parse_port(text.substr(colon + 1));
  if (!port) return std::nullopt;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return std::nullopt;  // an IPv6 address needs its brackets
  }
  if (host.empty()) return std::nullopt;
  return ListenAddress{std::string(host), *port};
}

std::optional<std::string> parse_public_host(std::string_view text) {
  std::string_view name = text;
  const std::size_t colon = text.rfind(':');
  const std::size_t bracket = text.rfind(']');
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    if (!parse_port(text.substr(colon + 1))) return std::nullopt;
    name = text.substr(0, colon);
  }
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
    const auto hex = [](char c) {
      return std::isxdigit(static_cast<unsigned char>(c)) || c == ':';
    };
    if (name.empty() || !std::all_of(name.begin(), name.end(), hex)) return std::nullopt;
    return std::string(text);
  }
  // A DNS name or an IPv4 address: letters, digits, '-' and '.'.
  const auto allowed = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
  };
  if (name.empty() || !std::all_of(name.begin(), name.end(), allowed)) return std::nullopt;
  return std::string(text);
}

std::string listen_url(const std::string& host, int port, bool tls) {
  const bool v6 = host.find(':') != std::string::npos;
  return (tls ? "https://" : "http://") + (v6 ? "[" + host + "]" : host) + ":" +
         std::to_string(port) + "/";
}

std::variant<ServiceOptions, OptionError> parse_options(const std::vector<std::string>& args) {
  ServiceOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    const std::size_t equals = name.find('=');
    if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    if (name == "--help" || name == "-h") {
      if (value) return OptionError{"option " + name + " takes no value"};
      options.help = true;
      continue;
    }
    if (name != "--listen" && name != "--db" && name != "--announce" && name != "--public-host" &&
        name != "--tls-cert" && name != "--tls-key") {
      return OptionError{"unknown option: " + args[i]};
    }
    if (!value) {
      if (i + 1 == args.size()) return OptionError{"option " + name + " needs a value"};
      value = args[++i];
    }
    if (name == "--listen") {
      const std::optional<ListenAddress> address = parse_listen(*value);
      if (!address) return OptionError{"--listen wants HOST:PORT, not \"" + *value + "\""};
      options.host = address->host;
      options.port = address->port;
    } else if (name == "--public-host") {
      const std::optional<std::string> host = parse_public_host(*value);
      if (!host) return OptionError{"--public-host wants NAME[:PORT], not \"" + *value + "\""};
      options.public_hosts.push_back(*host);
    } else if (name == "--tls-cert" || name == "--tls-key") {
      if (value->empty()) return OptionError{name + " needs a file name"};
      (name == "--tls-cert" ? options.tls_certificate : options.tls_key) = *value;
    } else if (name == "--db") {
      if (value->empty()) return OptionError{"--db needs a file name"};
      options.db_path = *value;
    } else if (value->empty()) {
      options.announcement.reset();
    } else {
      options.announcement = *value;
    }
  }
  if (options.tls_certificate.has_value() != options.tls_key.has_value()) {
    return OptionError{"--tls-cert and --tls-key go together"};
  }
  return options;
}

std::optional<std::string> default_db_path(const char* xdg_data_home, const char* home) {
  std::string data_home;
  if (is_absolute(xdg_data_home)) {
    data_home = xdg_data_home;
  } else if (is_absolute(home)) {
    data_home = std::string(home) + "/.local/share";
  } else {
    return std::nullopt;
  }
  return data_home + "/tovimo-service/orders.sqlite";
}

std::string usage_text(std::string_view program) {
  std::string text = "Usage: " + std::string(program) + " [OPTION]...\n";
  text +=
      "Serves Tovimo conversion orders over HTTP (or HTTPS) under /tovimo/.\n"
      "\n"
      "  --listen HOST:PORT  address to listen on (default 127.0.0.1:8765; port 0 picks a\n"
      "                      free port); \"listening on http://HOST:PORT/\" (https with\n"
      "                      TLS) is printed once bound\n"
      "  --db PATH           order database (default\n"
      "                      $XDG_DATA_HOME/tovimo-service/orders.sqlite)\n"
      "  --announce TEXT     announcement (Pango markup) sent to every client at start-up\n"
      "  --public-host NAME[:PORT]\n"
      "                      a further name the service is reached by (repeatable); requests\n"
      "                      for any host but these and the listen address get 421\n"
      "  --tls-cert FILE     serve https with this certificate chain (PEM) ...\n"
      "  --tls-key FILE      ... and its private key (PEM); without both, plain http\n"
      "  --help              show this help and exit\n";
  return text;
}

}  // namespace svc

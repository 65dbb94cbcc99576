// Telling the service's own order form from a form that another site posts to it. The order
// page carries a token bound to its key, made with a secret that only the service knows; a
// browser also names the page a post comes from in Origin (or Referer).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace svc {

constexpr std::string_view kTokenField = "token";

// 32 random bytes as 64 hex digits; throws std::runtime_error when no randomness is available.
std::string new_form_secret();

// The token that the order form of `key` carries: HMAC-SHA256 of the key, in hex.
std::string form_token(std::string_view secret, std::string_view key);
// Whether `token` is the form token of `key`, compared in constant time.
bool form_token_matches(std::string_view secret, std::string_view key, std::string_view token);

// Whether a post names no other site than `host` (the request's Host header) over `scheme`
// ("http" or "https", what the service speaks): its Origin when given, else its Referer when
// given, must be an address on that scheme and host. A post that names neither passes here and
// is left to the token.
bool names_own_site(const std::optional<std::string>& origin,
                    const std::optional<std::string>& referer, std::string_view scheme,
                    std::string_view host);

// The Host headers the service answers: its listen address as "HOST:PORT" ("[IPv6]:PORT");
// when it listens on loopback or on every address, also localhost, 127.0.0.1 and [::1] with its
// port; each of these also without the port when the port is the default of the scheme served
// (443 with `tls`, else 80); and each public name given ("NAME" or "NAME:PORT"). Lower case.
std::vector<std::string> served_hosts(const std::string& listen_host, int port, bool tls,
                                      const std::vector<std::string>& public_hosts);
// Whether a request's Host header names one of `served`, compared without regard to case. A
// page on a name that merely resolves to the service (DNS rebinding) is not served.
bool serves_host(const std::vector<std::string>& served, std::string_view host);

}  // namespace svc

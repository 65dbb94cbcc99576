#include "service/form_guard.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <stdexcept>

namespace svc {

namespace {

constexpr std::size_t kSecretBytes = 32;
// Keeps the token's use in its message, so that the secret signs nothing else by accident.
constexpr std::string_view kTokenPurpose = "order-form ";

std::string hex(const unsigned char* bytes, std::size_t size) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xf];
  }
  return text;
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string text) {
  for (char& c : text) c = lower(c);
  return text;
}

bool is_loopback_or_any(const std::string& host) {
  return host.rfind("127.", 0) == 0 || host == "::1" || host == "localhost" || host == "0.0.0.0" ||
         host == "::";
}

bool same_host(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Whether `address` is "SCHEME://HOST", optionally followed by a path, query or fragment.
bool is_on_host(std::string_view address, std::string_view scheme, std::string_view host) {
  const std::string prefix = std::string(scheme) + "://";
  if (host.empty() || !same_host(address.substr(0, prefix.size()), prefix)) return false;
  address.remove_prefix(prefix.size());
  return same_host(address.substr(0, address.find_first_of("/?#")), host);
}

}  // namespace

std::string new_form_secret() {
  std::array<unsigned char, kSecretBytes> bytes;
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw std::runtime_error("no randomness for the form secret");
  }
  return hex(bytes.data(), bytes.size());
}

std::string form_token(std::string_view secret, std::string_view key) {
  const std::string message = std::string(kTokenPurpose) + std::string(key);
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
            reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &size)) {
    throw std::runtime_error("cannot compute the form token");
  }
  return hex(mac, size);
}

bool form_token_matches(std::string_view secret, std::string_view key, std::string_view token) {
  const std::string expected = form_token(secret, key);
  return token.size() == expected.size() &&
         CRYPTO_memcmp(token.data(), expected.data(), expected.size()) == 0;
}

bool names_own_site(const std::optional<std::string>& origin,
                    const std::optional<std::string>& referer, std::string_view scheme,
                    std::string_view host) {
  // "null" from a sandboxed or local page is another site too.
  if (origin) return is_on_host(*origin, scheme, host);
  if (referer) return is_on_host(*referer, scheme, host);
  return true;
}

std::vector<std::string> served_hosts(const std::string& listen_host, int port, bool tls,
                                      const std::vector<std::string>& public_hosts) {
  const bool v6 = listen_host.find(':') != std::string::npos;
  std::vector<std::string> names = {lowered(v6 ? "[" + listen_host + "]" : listen_host)};
  if (is_loopback_or_any(lowered(listen_host))) {
    names.insert(names.end(), {"localhost", "127.0.0.1", "[::1]"});
  }
  // Clients leave the scheme's default port out of Host, as they do of the address.
  const bool default_port = port == (tls ? 443 : 80);
  std::vector<std::string> served;
  for (const std::string& name : names) {
    served.push_back(name + ":" + std::to_string(port));
    if (default_port) served.push_back(name);
  }
  for (const std::string& name : public_hosts) served.push_back(lowered(name));
  return served;
}

bool serves_host(const std::vector<std::string>& served, std::string_view host) {
  for (const std::string& name : served) {
    if (same_host(name, host)) return true;
  }
  return false;
}

}  // namespace svc

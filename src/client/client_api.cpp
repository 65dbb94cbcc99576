#include "client/client_api.h"

#include <glib.h>

#include <cstring>

#include "base/holders.h"
#include "base/precondition.h"

#if !defined(TOVIMO_SERVICE_HOST) || !defined(TOVIMO_SERVICE_SCHEME)
#error "TOVIMO_SERVICE_SCHEME and TOVIMO_SERVICE_HOST must name the service"
#endif

std::string gs_service_base = TOVIMO_SERVICE_SCHEME "://" TOVIMO_SERVICE_HOST "/tovimo/";

namespace {

constexpr guint32 kShortestLogin = 2;
constexpr guint32 kLongestLogin = 500;

// Fills an address pattern such as "%s?data=%s" with texts.
template <class... Texts>
std::string format(const char* pattern, const Texts&... texts) {
  return *take_text(g_strdup_printf(pattern, texts.c_str()...));
}

std::string valid_utf8(const char* text) {
  return *take_text(g_utf8_make_valid(text, -1));
}

}  // namespace

int api_init() {
  macaddr = gs_utils_get_mac();
  hash = macaddr ? gs_md5hash(macaddr->c_str()) : std::nullopt;
  in_progress = 0;
  return macaddr && hash ? 1 : 0;
}

int api_clean() {
  macaddr.reset();
  hash.reset();
  return 1;
}

int api_reset() {
  api_clean();
  return api_init();
}

std::string api_command_url(const std::string& base, const std::string& cmd,
                            const std::string& data) {
  return format("%s?cmd=%s&data=%s&ver=1", base + "io.php", cmd, data);
}

std::string api_help_url(const std::string& base, const std::string& key) {
  return format("%s?hash=%s&ver=1", base + "hp.php", key);
}

std::string api_order_page_url(const std::string& base, const std::string& key) {
  return format("%s?data=%s&ver=1", base + "index.php", key);
}

std::string api_key_page_url(const std::string& base, const std::string& key) {
  return format("%s?data=%s", base + "index.php", key);
}

std::string api_home_url(const std::string& base) {
  return base + "index.php";
}

std::string api_tutorial_url(const std::string& base) {
  return base + "tutorial.php";
}

int api_send(const char* cmd, const char* data, GsChunkPtr* chunk) {
  TV_RETURN_VAL_IF_FAIL(cmd != NULL, "cmd != NULL", 0);
  TV_RETURN_VAL_IF_FAIL(data != NULL, "data != NULL", 0);
  TV_RETURN_VAL_IF_FAIL(chunk != NULL, "chunk != NULL", 0);
  const std::string url = api_command_url(gs_service_base, cmd, data);
  *chunk = gs_curl_getinmemory(url.c_str(), nullptr, nullptr, nullptr);
  return *chunk ? 1 : 0;
}

namespace {
const char* key_text() {
  return hash ? hash->c_str() : nullptr;
}
}  // namespace

int api_login(GsChunkPtr* chunk) {
  return api_send("login", key_text(), chunk);
}
int api_poll(const char*, GsChunkPtr* chunk) {
  return api_send("poll", key_text(), chunk);
}
int api_yes(const char*, GsChunkPtr* chunk) {
  return api_send("yes", key_text(), chunk);
}
int api_cancel(const char*, GsChunkPtr* chunk) {
  return api_send("cancel", key_text(), chunk);
}

bool api_reply_is_ok(const std::optional<std::string>& text) {
  return text && std::strcmp(text->c_str(), "OK") == 0;
}

bool api_reply_holds(const std::optional<std::string>& text, const char* word) {
  return text && std::strstr(text->c_str(), word) != nullptr;
}

LoginReply api_classify_login(const GsChunk& reply) {
  const std::optional<std::string> cleaned = gs_string_trim(reply.text());
  if (reply.size < kShortestLogin || reply.size > kLongestLogin) {
    return {LoginVerdict::kEndSilently, {}};
  }
  if (api_reply_is_ok(cleaned)) return {LoginVerdict::kAccepted, {}};
  if (cleaned && *cleaned == "AUTOOK") return {LoginVerdict::kAcceptedAuto, {}};
  if (cleaned && *cleaned == "NEWBIE") return {LoginVerdict::kAcceptedNewbie, {}};
  if (reply.size <= kShortestLogin) return {LoginVerdict::kRefused, "Cannot login to the system"};
  return {LoginVerdict::kRefused, valid_utf8(reply.text())};
}

ErrorMessage api_decode_error(const char* reply) {
  StrVec words(g_strsplit(reply ? reply : "", " ", -1));
  if (g_strv_length(words.get()) < 2) return {ErrorMessage::kTooFewWords, {}};
  gsize length = 0;
  GStr decoded(reinterpret_cast<gchar*>(g_base64_decode(words.get()[1], &length)));
  if (!decoded || length == 0) return {ErrorMessage::kNothing, {}};
  // The message is the decoded bytes up to a NUL they may hold; nothing after them is read.
  const std::string bytes(decoded.get(), length);
  const std::string message = bytes.substr(0, bytes.find('\0'));
  return {ErrorMessage::kMessage,
          *take_text(g_utf8_make_valid(message.data(), static_cast<gssize>(message.size())))};
}

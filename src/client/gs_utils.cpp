#define G_LOG_DOMAIN "tovimo"

#include "client/gs_utils.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "base/holders.h"
#include "base/precondition.h"
#include "client/md5.h"
#include "platform/platform.h"

const char kDefaultUserAgent[] =
    "Mozilla/5.0 (Windows; U; Windows NT 5.1; ru;rv:1.8.1.15) Gecko/20080623 "
    "Firefox/2.0.0.15);";
const char kDefaultReferer[] = "http://www.example.org/";

namespace {

struct CurlEasyCleanup {
  void operator()(CURL* h) const noexcept { curl_easy_cleanup(h); }
};
struct CurlSlistFree {
  void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistFree>;

// Byte offsets of the first and one past the last alphanumeric character of a valid UTF-8
// text; begin == end when there is none.
struct AlnumSpan {
  const char* begin;
  const char* end;
};

AlnumSpan alnum_span(const char* text) {
  const char* begin = text;
  while (*begin && !g_unichar_isalnum(g_utf8_get_char(begin))) begin = g_utf8_next_char(begin);
  const char* end = begin;
  for (const char* p = begin; *p; p = g_utf8_next_char(p)) {
    if (g_unichar_isalnum(g_utf8_get_char(p))) end = g_utf8_next_char(p);
  }
  return {begin, end};
}

bool trimmable(const char* text) {
  return text && *text && g_utf8_validate(text, -1, nullptr);
}

TransferBounds bounds;

struct CurlMultiCleanup {
  void operator()(CURLM* m) const noexcept { curl_multi_cleanup(m); }
};
struct GSourceDestroy {
  void operator()(GSource* s) const noexcept {
    g_source_destroy(s);
    g_source_unref(s);
  }
};

// Transfers are moved along by the main loop itself: all of them run in one multi handle, whose
// sockets and timer a source on the default main context waits for. Whatever loop iterates that
// context (the main loop, a dialog's, a chooser's, the Exit question's) moves every transfer, with
// no thread; a step that waits for one iterates the context until its result is in.
class TransferLoop {
 public:
  static TransferLoop& get() {
    static TransferLoop loop;
    return loop;
  }

  // Runs the transfer of `easy` to its end, the main loop running meanwhile; its result.
  CURLcode run(CURL* easy) {
    std::optional<CURLcode> result;
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &result);
    if (curl_multi_add_handle(multi_.get(), easy) != CURLM_OK) return CURLE_FAILED_INIT;
    running_.push_back(easy);
    while (!result) g_main_context_iteration(nullptr, TRUE);
    return *result;
  }

  // Ends every transfer under way at once, whatever it is doing (connecting, in its handshake,
  // waiting for the reply): each is taken out of the multi handle, which closes its connection.
  void abort_all() {
    const std::vector<CURL*> aborted = running_;
    for (CURL* easy : aborted) finish(easy, CURLE_ABORTED_BY_CALLBACK);
  }

 private:
  struct Source {
    GSource base;
    TransferLoop* loop;
  };

  TransferLoop() : multi_(curl_multi_init()) {
    curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETFUNCTION, on_socket);
    curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETDATA, this);
    static GSourceFuncs funcs = {on_prepare, on_check, on_dispatch, nullptr, nullptr, nullptr};
    source_.reset(g_source_new(&funcs, sizeof(Source)));
    reinterpret_cast<Source*>(source_.get())->loop = this;
    g_source_set_name(source_.get(), "tovimo transfers");
    g_source_attach(source_.get(), nullptr);
  }

  static TransferLoop& of(GSource* source) { return *reinterpret_cast<Source*>(source)->loop; }

  // libcurl says which sockets its transfers wait for, and for what.
  static int on_socket(CURL*, curl_socket_t socket, int what, void* self, void*) {
    auto& sockets = static_cast<TransferLoop*>(self)->sockets_;
    if (what == CURL_POLL_REMOVE) {
      sockets.erase(static_cast<platform::Socket>(socket));
    } else {
      sockets[static_cast<platform::Socket>(socket)] = what;
    }
    return 0;
  }

  // Before each wait: the transfers' sockets as the source's descriptors, and libcurl's next
  // timer as the wait's bound.
  static gboolean on_prepare(GSource* source, gint* timeout) {
    TransferLoop& loop = of(source);
    *timeout = -1;
    loop.ready_.clear();
    std::vector<platform::SocketState> wanted;
    for (const auto& [socket, what] : loop.sockets_) {
      if (loop.running_.empty()) break;
      wanted.push_back({socket, (what & CURL_POLL_IN) != 0, (what & CURL_POLL_OUT) != 0});
    }
    // Also with nothing under way: no descriptor of a transfer that has gone stays polled.
    loop.poll(loop.wait_.prepare(wanted));
    if (loop.running_.empty()) return FALSE;
    long due = -1;
    curl_multi_timeout(loop.multi_.get(), &due);
    if (due == 0) return TRUE;
    if (due > 0) *timeout = static_cast<gint>(std::min<long>(due, G_MAXINT));
    return FALSE;
  }

  static gboolean on_check(GSource* source) {
    TransferLoop& loop = of(source);
    if (loop.running_.empty()) return FALSE;
    loop.ready_ = loop.wait_.ready(loop.polled_);
    long due = -1;
    curl_multi_timeout(loop.multi_.get(), &due);
    return !loop.ready_.empty() || due == 0;
  }

  static gboolean on_dispatch(GSource* source, GSourceFunc, gpointer) {
    TransferLoop& loop = of(source);
    std::vector<platform::SocketState> ready;
    ready.swap(loop.ready_);
    int running = 0;
    for (const platform::SocketState& s : ready) {
      curl_multi_socket_action(loop.multi_.get(), static_cast<curl_socket_t>(s.socket),
                               (s.read ? CURL_CSELECT_IN : 0) | (s.write ? CURL_CSELECT_OUT : 0) |
                                   (s.error ? CURL_CSELECT_ERR : 0),
                               &running);
    }
    long due = -1;
    if (curl_multi_timeout(loop.multi_.get(), &due) == CURLM_OK && due == 0) {
      curl_multi_socket_action(loop.multi_.get(), CURL_SOCKET_TIMEOUT, 0, &running);
    }
    loop.collect();
    return G_SOURCE_CONTINUE;
  }

  // Makes `fds` the descriptors the source waits on; the source keeps pointers to them, so the
  // old ones go before the new ones take their place.
  void poll(std::vector<GPollFD> fds) {
    const auto same = [](const GPollFD& a, const GPollFD& b) {
      return a.fd == b.fd && a.events == b.events;
    };
    if (std::equal(fds.begin(), fds.end(), polled_.begin(), polled_.end(), same)) return;
    for (GPollFD& fd : polled_) g_source_remove_poll(source_.get(), &fd);
    polled_ = std::move(fds);
    for (GPollFD& fd : polled_) g_source_add_poll(source_.get(), &fd);
  }

  // Hands each transfer that has ended its result.
  void collect() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
      if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result);
    }
  }

  void finish(CURL* easy, CURLcode result) {
    char* slot = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &slot);
    curl_multi_remove_handle(multi_.get(), easy);
    running_.erase(std::remove(running_.begin(), running_.end(), easy), running_.end());
    *reinterpret_cast<std::optional<CURLcode>*>(slot) = result;
  }

  std::unique_ptr<CURLM, CurlMultiCleanup> multi_;
  std::vector<CURL*> running_;               // transfers in the multi handle, not yet ended
  std::map<platform::Socket, int> sockets_;  // what each transfer's socket waits for
  platform::SocketWait wait_;
  std::vector<GPollFD> polled_;                      // the source's descriptors, from wait_
  std::vector<platform::SocketState> ready_;         // what the last check found ready
  std::unique_ptr<GSource, GSourceDestroy> source_;  // last: it polls the descriptors above
};

// Why a fetch yielded no reply, for the log: libcurl's own words and the bound that ended it.
std::string failure_reason(CURL* h, CURLcode result, const char* detail, const GsChunk& chunk) {
  std::string reason = curl_easy_strerror(result);
  if (detail && *detail) reason += std::string(" (") + detail + ")";
  if (result == CURLE_ABORTED_BY_CALLBACK) return reason + "; the program is ending";
  if (result == CURLE_OPERATION_TIMEDOUT) {
    double seconds = 0;
    curl_easy_getinfo(h, CURLINFO_TOTAL_TIME, &seconds);
    curl_off_t connected = 0;
    curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connected);
    if (connected == 0) {
      reason += "; the connect bound of " + std::to_string(bounds.connect_seconds) + " s fired";
    } else if (seconds + 0.5 >= static_cast<double>(bounds.transfer_seconds)) {
      reason +=
          "; the whole-transfer bound of " + std::to_string(bounds.transfer_seconds) + " s fired";
    } else {
      reason += "; the stall bound (under 1 byte/s for " + std::to_string(bounds.stall_seconds) +
                " s) fired";
    }
  } else if (result == CURLE_FILESIZE_EXCEEDED ||
             (result == CURLE_WRITE_ERROR && chunk.buf && chunk.size > 0)) {
    reason +=
        "; the reply passed the bound of " + std::to_string(bounds.max_reply_bytes) + " bytes";
  }
  return reason;
}

}  // namespace

void gs_abort_transfers() {
  TransferLoop::get().abort_all();
}

void gs_set_transfer_bounds(const TransferBounds& given) {
  bounds = given;
}

const TransferBounds& gs_transfer_bounds() {
  return bounds;
}

curl_slist* gs_generate_http_header() {
  // Sent in this order, except where libcurl places a header itself: versions after 8.14
  // send the Connection lines after all the others, with libcurl's own Connection header.
  static const char* const kHeaders[] = {
      "Connection: keep-alive",
      ("Accept: text/xml,application/xml,application/xhtml+xml,text/html;q=0.9,text/plain;"
       "q=0.8,image/png,*/*;q=0.5"),
      "Cache-Control: max-age=0",
      "Connection: keep-alive",
      "Keep-Alive: 300",
      "Accept-Charset: windows-1251,utf-8;q=0.7,*;q=0.7",
      "Accept-Language: ru-ru,ru;q=0.8,en-us;q=0.5,en;q=0.3",
      // An empty value sends nothing and keeps libcurl from adding a Pragma of its own.
      "Pragma: ",
  };
  CurlSlist list;
  for (const char* header : kHeaders) {
    curl_slist* grown = curl_slist_append(list.get(), header);
    if (!grown) return nullptr;
    list.release();
    list.reset(grown);
  }
  return list.release();
}

gchar* gs_realloc(gchar* buffer, size_t size) {
  return static_cast<gchar*>(g_try_realloc(buffer, size));
}

size_t gs_chunk_writer(char* bytes, size_t item_size, size_t item_count, void* chunk) {
  auto* c = static_cast<GsChunk*>(chunk);
  const size_t n = item_size * item_count;
  if (n > bounds.max_reply_bytes - c->size) return 0;  // past the bound: abandon the transfer
  gchar* grown = gs_realloc(c->buf, c->size + n + 1);
  if (!grown) return 0;  // keeps the old buffer; the fetch then yields none
  c->buf = grown;
  std::memcpy(c->buf + c->size, bytes, n);
  c->size += static_cast<guint32>(n);
  c->buf[c->size] = '\0';
  return n;
}

GsChunkPtr gs_curl_getinmemory(const char* url, const char* user_agent, const char* referer,
                               curl_slist* headers) {
  TV_RETURN_VAL_IF_FAIL(url != NULL, "url != NULL", nullptr);
  auto chunk = std::make_unique<GsChunk>();
  CurlEasy easy(curl_easy_init());
  if (!easy) return nullptr;
  CurlSlist own_headers;
  if (!headers) {
    own_headers.reset(gs_generate_http_header());
    headers = own_headers.get();
  }
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, url);
  curl_easy_setopt(h, CURLOPT_USERAGENT, user_agent ? user_agent : kDefaultUserAgent);
  curl_easy_setopt(h, CURLOPT_REFERER, referer ? referer : kDefaultReferer);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, gs_chunk_writer);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, chunk.get());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  // An aborted transfer does not wait for its name lookup's thread (a name server that does not
  // answer would hold Exit for its whole time-out); the lookup ends by itself.
  curl_easy_setopt(h, CURLOPT_QUICK_EXIT, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, bounds.connect_seconds);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, bounds.stall_seconds);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, bounds.transfer_seconds);
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(bounds.max_reply_bytes));
  // The service's address says http or https, and nothing else is ever spoken. Over https the
  // peer's chain and name are always verified: against the system's trust store, or the file
  // SSL_CERT_FILE names (a private CA), as OpenSSL's own tools take it.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  const char* ca_file = g_getenv("SSL_CERT_FILE");
  if (ca_file && *ca_file) curl_easy_setopt(h, CURLOPT_CAINFO, ca_file);
  // Where the TLS library asks about revocation itself (Schannel), a certificate whose issuer
  // publishes no revocation list, as a private CA's, is not refused for that alone.
  curl_easy_setopt(h, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
  // Each request has a connection of its own, closed after it, as a handle of its own gives.
  curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
  char detail[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);
  // The handle, the chunk and the header list stay here until the transfer is done.
  const CURLcode result = TransferLoop::get().run(h);
  // A failed or abandoned transfer would leave a partial body: it is no reply.
  if (result != CURLE_OK) {
    g_debug("no reply from %s: %s", url, failure_reason(h, result, detail, *chunk).c_str());
    return nullptr;
  }
  if (!chunk->buf) {
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    g_debug("no reply from %s: HTTP status %ld with an empty body", url, status);
    return nullptr;
  }
  return chunk;
}

std::optional<std::string> gs_string_trim_start(const char* text) {
  if (!trimmable(text)) return std::nullopt;
  return std::string(alnum_span(text).begin);
}

std::optional<std::string> gs_string_trim(const char* text) {
  if (!trimmable(text)) return std::nullopt;
  const AlnumSpan span = alnum_span(text);
  return std::string(span.begin, span.end);
}

std::optional<std::string> gs_rtrim2(const char* str, size_t length) {
  TV_RETURN_VAL_IF_FAIL(str != NULL, "str != NULL", std::nullopt);
  if (length <= 2) return std::string();
  if (str[length - 1] == '\n' && str[length - 2] == '\r') return std::string(str, length - 2);
  return std::string(str, length);
}

std::optional<std::string> gs_utils_get_mac() {
  const auto address = platform::adapter_address();
  if (!address) return std::nullopt;
  const auto& a = *address;
  return take_text(
      g_strdup_printf("%02X-%02X-%02X-%02X-%02X-%02X", a[0], a[1], a[2], a[3], a[4], a[5]));
}

std::optional<std::string> gs_md5hash(const char* s) {
  TV_RETURN_VAL_IF_FAIL(s != NULL, "s != NULL", std::nullopt);
  md5_state state;
  md5_init(&state);
  md5_append(&state, reinterpret_cast<const guint8*>(s), static_cast<gssize>(std::strlen(s)));
  guint8 digest[16];
  md5_finish(&state, digest);
  std::string hex;
  static const char kDigits[] = "0123456789abcdef";
  for (guint8 byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xf];
  }
  return hex;
}

int gs_curl_check() {
  return platform::http_runtime_present() ? 1 : 0;
}

bool gs_start_browser(const char* url, std::string* error) {
  if (!url) return true;
  return platform::open_url(url, error);
}

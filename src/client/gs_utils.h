// HTTP fetch into memory, reply text cleaning, the browser, the adapter address and its digest
// text, and the HTTP library's runtime check.
#pragma once

#include <curl/curl.h>
#include <glib.h>

#include <memory>
#include <optional>
#include <string>

// The body of one HTTP reply. Whenever `buf` exists, buf[size] is 0, so the body reads as text.
struct GsChunk {
  gchar* buf = nullptr;  // owned
  guint32 size = 0;      // bytes received

  GsChunk() = default;
  GsChunk(const GsChunk&) = delete;
  GsChunk& operator=(const GsChunk&) = delete;
  ~GsChunk() { g_free(buf); }

  // The body read as a C text: up to its first NUL byte.
  const char* text() const { return buf ? buf : ""; }
};
using GsChunkPtr = std::unique_ptr<GsChunk>;

// Bounds of one transfer: a silent, trickling or endless service must not hold the program
// (which waits for every fetch) for ever.
constexpr long kConnectTimeoutSeconds = 15;
constexpr long kStallSeconds = 30;            // abandoned when under 1 byte/s for this long
constexpr long kTransferSeconds = 90;         // any transfer ends within this
constexpr guint32 kMaxReplyBytes = 1u << 20;  // 1 MiB

struct TransferBounds {
  long connect_seconds = kConnectTimeoutSeconds;
  long stall_seconds = kStallSeconds;
  long transfer_seconds = kTransferSeconds;
  guint32 max_reply_bytes = kMaxReplyBytes;
};
// The bounds every fetch keeps. The program never changes them; tests shorten them.
void gs_set_transfer_bounds(const TransferBounds& bounds);
const TransferBounds& gs_transfer_bounds();

extern const char kDefaultUserAgent[];
extern const char kDefaultReferer[];

// One GET of `url`, waited for: the main loop moves the transfer along, as every loop nested in
// it does (a dialog's, a chooser's), while the caller iterates it until the transfer has ended,
// as a dialog waits for its answer; windows and timers go on meanwhile. Null
// user agent, referrer or header list select the defaults. Yields none when no body arrived,
// when the transfer failed or was abandoned at a bound or by gs_abort_transfers; the reason is
// logged (domain "tovimo", shown with G_MESSAGES_DEBUG=tovimo).
GsChunkPtr gs_curl_getinmemory(const char* url, const char* user_agent, const char* referer,
                               curl_slist* headers);

// Ends every transfer under way at once, whatever it is doing (connecting, in its TLS handshake,
// waiting for the reply): each yields none, logged as aborted. The program is ending; transfers
// started afterwards are not affected.
void gs_abort_transfers();

// A new header list with the default request headers; caller frees with curl_slist_free_all.
curl_slist* gs_generate_http_header();

// libcurl write callback: appends to the GsChunk in `chunk`; abandons the transfer (returns
// fewer bytes than offered) when the buffer cannot grow or the body passes the size bound.
size_t gs_chunk_writer(char* bytes, size_t item_size, size_t item_count, void* chunk);

// Grows `buffer` to `size` bytes, or allocates it when absent; none when memory is short.
gchar* gs_realloc(gchar* buffer, size_t size);

// `text` without leading and trailing characters that are not letters or digits. None for no
// text, an empty text or one that is not valid UTF-8.
std::optional<std::string> gs_string_trim(const char* text);

// Like gs_string_trim, but only the leading characters are dropped: what an error reply is
// decoded from, so that its trailing base64 padding survives.
std::optional<std::string> gs_string_trim_start(const char* text);

// `str` (of `length` bytes) without a final CR LF: empty for 2 bytes or fewer, an unchanged
// copy when it does not end in CR LF.
std::optional<std::string> gs_rtrim2(const char* str, size_t length);

// The primary adapter's address as "00-1A-2B-3C-4D-5E", or none.
std::optional<std::string> gs_utils_get_mac();

// MD5 of the text's bytes as 32 lowercase hexadecimal digits.
std::optional<std::string> gs_md5hash(const char* s);

// 1 when the HTTP library's runtime files are present.
int gs_curl_check();

// Asks the desktop to show `url` in the user's browser. Returns false with a reason when it
// could not; does nothing for no url.
bool gs_start_browser(const char* url, std::string* error = nullptr);

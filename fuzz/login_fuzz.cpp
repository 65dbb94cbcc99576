// The login reply: the body arrives through the transfer's write callback in pieces, then is
// classified. Whatever the bytes, the verdict follows the designed rules and any refusal text
// is valid UTF-8 for the dialog.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "client/client_api.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte sets the piece size, as a transfer may deliver the body in any pieces.
  const size_t piece = 1 + data[0] % 64;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);

  GsChunk chunk;
  for (size_t at = 0; at < body.size(); at += piece) {
    const size_t n = std::min(piece, body.size() - at);
    std::string bytes = body.substr(at, n);  // the callback may not rely on our buffer
    FUZZ_CHECK(gs_chunk_writer(bytes.data(), 1, n, &chunk) == n);
  }
  if (body.empty()) return 0;  // no body is no reply; start-up shows "login error" itself
  FUZZ_CHECK(chunk.size == body.size());
  FUZZ_CHECK(std::memcmp(chunk.buf, body.data(), body.size()) == 0);
  FUZZ_CHECK(chunk.buf[chunk.size] == '\0');

  const LoginReply login = api_classify_login(chunk);
  const auto cleaned = gs_string_trim(chunk.text());
  if (chunk.size < 2 || chunk.size > 500) {
    FUZZ_CHECK(login.verdict == LoginVerdict::kEndSilently);
    return 0;
  }
  switch (login.verdict) {
    case LoginVerdict::kAccepted:
      FUZZ_CHECK(cleaned == std::string("OK"));
      break;
    case LoginVerdict::kAcceptedAuto:
      FUZZ_CHECK(cleaned == std::string("AUTOOK"));
      break;
    case LoginVerdict::kAcceptedNewbie:
      FUZZ_CHECK(cleaned == std::string("NEWBIE"));
      break;
    case LoginVerdict::kRefused:
      FUZZ_CHECK(cleaned != std::string("OK") && cleaned != std::string("AUTOOK") &&
                 cleaned != std::string("NEWBIE"));
      FUZZ_CHECK(whole_utf8(login.refusal));
      if (chunk.size == 2) FUZZ_CHECK(login.refusal == "Cannot login to the system");
      // A refusal that is already valid text is shown exactly as received.
      if (chunk.size > 2 && whole_utf8(chunk.text())) FUZZ_CHECK(login.refusal == chunk.text());
      break;
    case LoginVerdict::kEndSilently:
      FUZZ_CHECK(!"a reply of 2 to 500 bytes never ends start-up silently");
  }
  return 0;
}

// The error reply's message: any reply decodes without harm, and what is shown is valid
// UTF-8, never empty when the decoded message starts with a byte other than NUL.
#include <cstdint>
#include <cstring>

#include "base/holders.h"
#include "client/client_api.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string reply = std::string(reinterpret_cast<const char*>(data), size).c_str();
  const ErrorMessage message = api_decode_error(reply.c_str());

  StrVec words(g_strsplit(reply.c_str(), " ", -1));
  if (g_strv_length(words.get()) < 2) {
    FUZZ_CHECK(message.kind == ErrorMessage::kTooFewWords);
    return 0;
  }
  gsize length = 0;
  GStr decoded(reinterpret_cast<gchar*>(g_base64_decode(words.get()[1], &length)));
  const std::string bytes(decoded.get(), length);
  if (bytes.empty()) {
    FUZZ_CHECK(message.kind == ErrorMessage::kNothing);
    return 0;
  }
  FUZZ_CHECK(message.kind == ErrorMessage::kMessage);
  FUZZ_CHECK(whole_utf8(message.text));
  const std::string shown_part = bytes.c_str();  // the message ends at a NUL it holds
  FUZZ_CHECK(message.text.empty() == shown_part.empty());
  if (whole_utf8(shown_part)) FUZZ_CHECK(message.text == shown_part);
  return 0;
}

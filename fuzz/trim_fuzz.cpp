// Reply text cleaning: gs_string_trim, gs_string_trim_start and gs_rtrim2 on any bytes.
#include <cstdint>
#include <cstring>

#include "client/gs_utils.h"
#include "fuzz_support.h"

namespace {

bool alnum_at_front(const std::string& s) {
  return g_unichar_isalnum(g_utf8_get_char(s.c_str()));
}

bool alnum_at_back(const std::string& s) {
  const char* last = g_utf8_find_prev_char(s.c_str(), s.c_str() + s.size());
  return last && g_unichar_isalnum(g_utf8_get_char(last));
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = bytes.c_str();  // what a reply reads as: up to its first NUL
  const bool readable = !text.empty() && whole_utf8(text);

  const auto both = gs_string_trim(text.c_str());
  const auto front = gs_string_trim_start(text.c_str());
  FUZZ_CHECK(both.has_value() == readable);
  FUZZ_CHECK(front.has_value() == readable);
  if (readable) {
    FUZZ_CHECK(whole_utf8(*both) && whole_utf8(*front));
    // Trimming only removes: the front-trimmed text is a tail of the reply, and the fully
    // trimmed text begins it.
    FUZZ_CHECK(ends_with(text, *front));
    FUZZ_CHECK(front->compare(0, both->size(), *both) == 0);
    if (!both->empty()) {
      FUZZ_CHECK(alnum_at_front(*both) && alnum_at_back(*both));
      FUZZ_CHECK(alnum_at_front(*front));
    } else {
      FUZZ_CHECK(front->empty());
    }
    FUZZ_CHECK(gs_string_trim(front->c_str()).value_or("") == *both || front->empty());
  }

  const auto cut = gs_rtrim2(bytes.data(), bytes.size());
  FUZZ_CHECK(cut.has_value());
  if (size <= 2) {
    FUZZ_CHECK(cut->empty());
  } else if (ends_with(bytes, "\r\n")) {
    FUZZ_CHECK(*cut == bytes.substr(0, size - 2));
  } else {
    FUZZ_CHECK(*cut == bytes);
  }
  return 0;
}

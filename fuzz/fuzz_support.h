// Shared by the fuzz targets: a failed property aborts, so that libFuzzer keeps the input.
#pragma once

#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

// Valid UTF-8 over every byte, a NUL byte counting as invalid: what a label can show whole.
inline bool whole_utf8(const std::string& text) {
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
}

// Silences GLib's precondition warnings about inputs a target feeds on purpose.
inline void quiet_glib_logs() {
  g_log_set_writer_func(
      [](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; },
      nullptr, nullptr);
}

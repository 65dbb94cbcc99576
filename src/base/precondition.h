// Precondition warnings in GLib's own form ("<function>: assertion '<condition>' failed"),
// naming the plain function name rather than the C++ signature that G_STRFUNC gives.
#pragma once

#include <glib.h>

#define TV_RETURN_VAL_IF_FAIL(cond, text, val)           \
  do {                                                   \
    if (G_UNLIKELY(!(cond))) {                           \
      g_return_if_fail_warning(nullptr, __func__, text); \
      return (val);                                      \
    }                                                    \
  } while (0)

#define TV_RETURN_IF_FAIL(cond, text)                    \
  do {                                                   \
    if (G_UNLIKELY(!(cond))) {                           \
      g_return_if_fail_warning(nullptr, __func__, text); \
      return;                                            \
    }                                                    \
  } while (0)

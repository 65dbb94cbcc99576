// Incremental MD5 (RFC 1321) over GLib's checksum.
#pragma once

#include <glib.h>

#include <memory>

#include "base/holders.h"

struct md5_state {
  std::unique_ptr<GChecksum, GChecksumFree> checksum;
};

void md5_init(md5_state* state);
// Adds `length` bytes; a length of 0 or less changes nothing.
void md5_append(md5_state* state, const guint8* bytes, gssize length);
void md5_finish(md5_state* state, guint8 digest[16]);

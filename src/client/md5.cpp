#include "client/md5.h"

void md5_init(md5_state* state) {
  state->checksum.reset(g_checksum_new(G_CHECKSUM_MD5));
}

void md5_append(md5_state* state, const guint8* bytes, gssize length) {
  if (length <= 0) return;
  g_checksum_update(state->checksum.get(), bytes, length);
}

void md5_finish(md5_state* state, guint8 digest[16]) {
  gsize length = 16;
  g_checksum_get_digest(state->checksum.get(), digest, &length);
}

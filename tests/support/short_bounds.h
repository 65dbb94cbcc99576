// Shortens the service client's transfer bounds while alive, so that tests need not wait for the
// program's own; the program's bounds come back at the end.
#pragma once

#include "client/gs_utils.h"

class ShortBounds {
 public:
  ShortBounds(long stall_seconds, long transfer_seconds) {
    TransferBounds shorter;
    shorter.stall_seconds = stall_seconds;
    shorter.transfer_seconds = transfer_seconds;
    gs_set_transfer_bounds(shorter);
  }
  ~ShortBounds() { gs_set_transfer_bounds(TransferBounds()); }
  ShortBounds(const ShortBounds&) = delete;
  ShortBounds& operator=(const ShortBounds&) = delete;
};

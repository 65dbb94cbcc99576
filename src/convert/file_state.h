// What stands at a path, told apart well enough to see whether anyone has written there since:
// a stopped conversion removes its destination only when the converter wrote it.
#pragma once

#include <glib.h>

#include <string>

struct FileState {
  bool exists = false;
  std::string id;  // the file's identity (device and inode, or the system's like)
  guint64 size = 0;
  guint64 modified_us = 0;  // last change of its contents
  guint64 changed_us = 0;   // last change of its contents or attributes, where the system has it

  bool operator==(const FileState& other) const {
    return exists == other.exists && id == other.id && size == other.size &&
           modified_us == other.modified_us && changed_us == other.changed_us;
  }
  bool operator!=(const FileState& other) const { return !(*this == other); }
};

// The state of the file at `path` now; not `exists` when there is none.
FileState file_state(const std::string& path);

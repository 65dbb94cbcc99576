#include "convert/file_state.h"

#include <gio/gio.h>

#include "base/holders.h"

namespace {

constexpr char kAttributes[] = G_FILE_ATTRIBUTE_ID_FILE
    "," G_FILE_ATTRIBUTE_STANDARD_SIZE "," G_FILE_ATTRIBUTE_TIME_MODIFIED
    "," G_FILE_ATTRIBUTE_TIME_MODIFIED_USEC "," G_FILE_ATTRIBUTE_TIME_CHANGED
    "," G_FILE_ATTRIBUTE_TIME_CHANGED_USEC;

guint64 microseconds(GFileInfo* info, const char* seconds, const char* usec) {
  return g_file_info_get_attribute_uint64(info, seconds) * G_USEC_PER_SEC +
         g_file_info_get_attribute_uint32(info, usec);
}

}  // namespace

FileState file_state(const std::string& path) {
  FileState state;
  GObj<GFile> file(g_file_new_for_path(path.c_str()));
  GObj<GFileInfo> info(
      g_file_query_info(file.get(), kAttributes, G_FILE_QUERY_INFO_NONE, nullptr, nullptr));
  if (!info) return state;
  state.exists = true;
  if (const char* id = g_file_info_get_attribute_string(info.get(), G_FILE_ATTRIBUTE_ID_FILE)) {
    state.id = id;
  }
  state.size = g_file_info_get_attribute_uint64(info.get(), G_FILE_ATTRIBUTE_STANDARD_SIZE);
  state.modified_us =
      microseconds(info.get(), G_FILE_ATTRIBUTE_TIME_MODIFIED, G_FILE_ATTRIBUTE_TIME_MODIFIED_USEC);
  state.changed_us =
      microseconds(info.get(), G_FILE_ATTRIBUTE_TIME_CHANGED, G_FILE_ATTRIBUTE_TIME_CHANGED_USEC);
  return state;
}

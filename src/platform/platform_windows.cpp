// Windows side of the platform layer: the adapter address from a sequential UUID, runtime files
// beside the program in the working folder, URLs through the shell.
#include <windows.h>

#include <glib.h>
#include <rpc.h>
#include <shellapi.h>

#include <cstring>

#include "base/holders.h"
#include "platform/platform.h"
#include "platform/windows_internal.h"

namespace platform {
namespace {

constexpr const char* kHttpRuntime[] = {"libcurl.dll", "zlib1.dll"};
constexpr const char* kConverterRuntime[] = {"avcodec-51.dll", "avdevice-52.dll", "avformat-52.dll",
                                             "pthreadGC2.dll", "SDL.dll"};
// A UUID's node field: the last six of its sixteen bytes, as stored.
constexpr std::size_t kNodeOffset = 10;

// Every file is tested, also after one has failed.
template <std::size_t N>
bool all_regular_files(const char* const (&names)[N]) {
  int present = 1;
  for (const char* name : names) present &= g_file_test(name, G_FILE_TEST_IS_REGULAR) ? 1 : 0;
  return present == 1;
}

}  // namespace

std::optional<HardwareAddress> adapter_address() {
  UUID uuid;
  // Without an adapter Windows still fills the node with a substitute value, which serves.
  UuidCreateSequential(&uuid);
  static_assert(sizeof uuid == kNodeOffset + sizeof(HardwareAddress));
  HardwareAddress address;
  std::memcpy(address.data(), reinterpret_cast<const unsigned char*>(&uuid) + kNodeOffset,
              address.size());
  return address;
}

bool http_runtime_present() {
  return all_regular_files(kHttpRuntime);
}

// The converter can be started (a current one needs none of the old libraries' files), or the
// old converter's five libraries lie in the working folder.
bool converter_runtime_present() {
  return find_program(converter_name()).has_value() || all_regular_files(kConverterRuntime);
}

const char* converter_name() {
  return "ffmpeg.exe";
}

bool open_url(const std::string& url, std::string* error) {
  const auto address = utf16(url);
  if (!address) {
    if (error) *error = "the address is not valid UTF-8";
    return false;
  }
  // The shell's answer is not examined: whatever it starts reports its own failures.
  ShellExecuteW(nullptr, L"open", address->c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return true;
}

std::optional<std::wstring> utf16(const std::string& utf8) {
  if (utf8.find('\0') != std::string::npos) return std::nullopt;
  glong length = 0;
  GStr converted(reinterpret_cast<gchar*>(
      g_utf8_to_utf16(utf8.c_str(), static_cast<glong>(utf8.size()), nullptr, &length, nullptr)));
  if (!converted) return std::nullopt;
  return std::wstring(reinterpret_cast<const wchar_t*>(converted.get()),
                      static_cast<std::size_t>(length));
}

}  // namespace platform

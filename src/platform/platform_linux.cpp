// Linux side of the platform layer: adapter address from the kernel, runtime checks against
// the loaded libraries and PATH, URLs through GIO's default handlers.
#include <gio/gio.h>
#include <glib.h>
#include <link.h>

#include <cstring>

#include "base/holders.h"
#include "platform/adapter_linux.h"
#include "platform/platform.h"

namespace platform {
namespace {

constexpr char kSysNet[] = "/sys/class/net";
constexpr unsigned kLoopbackFlag = 0x8;  // IFF_LOOPBACK

std::string read_text(const std::string& path) {
  gchar* contents = nullptr;
  if (!g_file_get_contents(path.c_str(), &contents, nullptr, nullptr)) return {};
  return *take_text(contents);
}

std::vector<NetInterface> list_interfaces() {
  std::vector<NetInterface> result;
  GDir* raw_dir = g_dir_open(kSysNet, 0, nullptr);
  if (!raw_dir) return result;
  std::unique_ptr<GDir, decltype(&g_dir_close)> dir(raw_dir, &g_dir_close);
  while (const gchar* name = g_dir_read_name(dir.get())) {
    const std::string base = std::string(kSysNet) + "/" + name + "/";
    NetInterface itf;
    itf.name = name;
    itf.address = parse_hardware_address(read_text(base + "address"));
    const std::string flags = read_text(base + "flags");
    itf.loopback = (g_ascii_strtoull(flags.c_str(), nullptr, 0) & kLoopbackFlag) != 0;
    result.push_back(std::move(itf));
  }
  return result;
}

// Paths of the loaded shared objects whose file name starts with `prefix`.
struct LibrarySearch {
  const char* prefix;
  std::vector<std::string> paths;
};

int collect_library(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<LibrarySearch*>(data);
  if (info->dlpi_name && *info->dlpi_name) {
    GStr base(g_path_get_basename(info->dlpi_name));
    if (g_str_has_prefix(base.get(), search->prefix)) search->paths.emplace_back(info->dlpi_name);
  }
  return 0;
}

bool loaded_library_present(const char* prefix) {
  LibrarySearch search{prefix, {}};
  dl_iterate_phdr(collect_library, &search);
  for (const std::string& path : search.paths) {
    if (g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) return true;
  }
  return false;
}

}  // namespace

std::optional<HardwareAddress> adapter_address() {
  return choose_adapter_address(read_text("/proc/net/route"), list_interfaces());
}

bool http_runtime_present() {
  return loaded_library_present("libcurl") && loaded_library_present("libz.so");
}

const char* converter_name() {
  return "ffmpeg";
}

bool converter_runtime_present() {
  GStr path(g_find_program_in_path(converter_name()));
  return path && g_file_test(path.get(), G_FILE_TEST_IS_REGULAR);
}

bool open_url(const std::string& url, std::string* error) {
  GErr err;
  if (g_app_info_launch_default_for_uri(url.c_str(), nullptr, out(err))) return true;
  if (error) *error = err ? err->message : "no web browser is set up";
  return false;
}

}  // namespace platform

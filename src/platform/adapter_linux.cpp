#include "platform/adapter_linux.h"

#include <glib.h>

#include <algorithm>
#include <cstring>

#include "base/holders.h"

namespace platform {
namespace {

bool usable(const NetInterface& itf) {
  if (itf.loopback || !itf.address) return false;
  const HardwareAddress& a = *itf.address;
  return std::any_of(a.begin(), a.end(), [](std::uint8_t b) { return b != 0; });
}

}  // namespace

std::optional<std::string> default_route_interface(const std::string& route_table) {
  StrVec lines(g_strsplit(route_table.c_str(), "\n", -1));
  for (gchar** line = lines.get(); *line; ++line) {
    if (line == lines.get()) continue;  // column headings
    // The first two words: the interface and the destination.
    StrVec fields(g_strsplit_set(*line, " \t", -1));
    const char* words[2] = {};
    int count = 0;
    for (gchar** f = fields.get(); *f && count < 2; ++f) {
      if (**f) words[count++] = *f;
    }
    if (count == 2 && std::strcmp(words[1], "00000000") == 0) return std::string(words[0]);
  }
  return std::nullopt;
}

std::optional<HardwareAddress> parse_hardware_address(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && g_ascii_isspace(trimmed.back())) trimmed.pop_back();
  StrVec parts(g_strsplit(trimmed.c_str(), ":", -1));
  if (g_strv_length(parts.get()) != 6) return std::nullopt;
  HardwareAddress address{};
  for (int i = 0; i < 6; ++i) {
    const char* p = parts.get()[i];
    if (std::strlen(p) != 2 || !g_ascii_isxdigit(p[0]) || !g_ascii_isxdigit(p[1])) {
      return std::nullopt;
    }
    address[i] =
        static_cast<std::uint8_t>(g_ascii_xdigit_value(p[0]) * 16 + g_ascii_xdigit_value(p[1]));
  }
  return address;
}

std::optional<HardwareAddress> choose_adapter_address(const std::string& route_table,
                                                      std::vector<NetInterface> interfaces) {
  if (auto route_if = default_route_interface(route_table)) {
    for (const NetInterface& itf : interfaces) {
      if (itf.name == *route_if && usable(itf)) return itf.address;
    }
  }
  std::sort(interfaces.begin(), interfaces.end(),
            [](const NetInterface& a, const NetInterface& b) { return a.name < b.name; });
  for (const NetInterface& itf : interfaces) {
    if (usable(itf)) return itf.address;
  }
  return std::nullopt;
}

}  // namespace platform

// Choice of the primary network adapter from the kernel's routing table and interface list.
// Pure text processing, so that it can be tested without the machine's own adapters.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

struct NetInterface {
  std::string name;
  std::optional<HardwareAddress> address;  // none unless the interface has a 6-byte address
  bool loopback = false;
};

// The interface of the first IPv4 default route (destination 00000000) in the text of
// /proc/net/route, or none.
std::optional<std::string> default_route_interface(const std::string& route_table);

// "02:fc:00:00:00:01" (as /sys/class/net/<if>/address gives it) -> bytes; none for any other
// form, a length other than six bytes included.
std::optional<HardwareAddress> parse_hardware_address(const std::string& text);

// The primary adapter's address: the default-route interface when it has a usable address,
// otherwise the first interface in name order that is not loopback and has a non-zero
// six-byte address.
std::optional<HardwareAddress> choose_adapter_address(const std::string& route_table,
                                                      std::vector<NetInterface> interfaces);

}  // namespace platform

#ifndef QUORVEX_PLATFORM_QXLINUXINTERFACES_H_
#define QUORVEX_PLATFORM_QXLINUXINTERFACES_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/QXPlatform.h"

// The machine's interface-address list (getifaddrs) as the SDK presents it.
//
// The SDK names a device's main interface "en0" and its cellular modem
// "pdp_ip0". On Linux the interface that carries the default route (IPv4
// first, the lowest metric winning; else IPv6) is presented as "en0", and a
// cellular modem interface ("wwan...") that does not carry it as "pdp_ip0";
// every other interface keeps its name, and `systemName` always holds the
// kernel's. Each interface's entries are listed together, where its first
// entry stood: entries without an address first, then IPv6 link-local
// addresses, then other IPv6 addresses, then IPv4 addresses, each group in
// the kernel's order. A search in which a later address of an interface
// replaces an earlier one therefore ends on the IPv4 address of a
// dual-stack interface and on a routable IPv6 address of an IPv6-only one.
class QXLinuxInterfaces {
 public:
  // The presented list read from the kernel; nothing when getifaddrs fails.
  // `root` stands for "/" when the routing tables are read (tests point it
  // elsewhere).
  static std::optional<std::vector<QXInterfaceAddress>> list(const std::string& root = "");

  // The interface of the default route in /proc/net/route and
  // /proc/net/ipv6_route texts; empty when there is none.
  static std::string defaultRouteInterface(std::string_view ipv4Routes,
                                           std::string_view ipv6Routes);

  // The kernel's list (names in `name`) presented as described above.
  static std::vector<QXInterfaceAddress> present(std::vector<QXInterfaceAddress> kernelList,
                                                 const std::string& defaultInterface);
};

#endif  // QUORVEX_PLATFORM_QXLINUXINTERFACES_H_

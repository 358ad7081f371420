#include "platform/QXLinuxInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <map>

#include "platform/QXFileText.h"

namespace {

constexpr const char* kMainInterface = "en0";
constexpr const char* kCellularInterface = "pdp_ip0";
constexpr unsigned kRouteUp = 0x0001;      // RTF_UP
constexpr unsigned kRouteReject = 0x0200;  // RTF_REJECT: an unreachable route

std::vector<std::string_view> fieldsOf(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t position = 0;
  while (position < line.size()) {
    const size_t start = line.find_first_not_of(" \t", position);
    if (start == std::string_view::npos) break;
    const size_t end = std::min(line.find_first_of(" \t", start), line.size());
    fields.push_back(line.substr(start, end - start));
    position = end;
  }
  return fields;
}

std::optional<uint64_t> number(std::string_view text, int base) {
  uint64_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

bool allZero(std::string_view text) {
  return !text.empty() && text.find_first_not_of('0') == std::string_view::npos;
}

// Calls `take(fields)` for each line of a routing table.
template <typename Take>
void forEachLine(std::string_view text, Take take) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    take(fieldsOf(text.substr(0, end)));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
}

struct Route {
  std::string interface;
  uint64_t metric = std::numeric_limits<uint64_t>::max();
  void offer(std::string_view name, uint64_t candidateMetric) {
    if (candidateMetric < metric || interface.empty()) {
      interface = std::string(name);
      metric = candidateMetric;
    }
  }
};

bool usable(std::optional<uint64_t> flags) {
  return flags && (*flags & kRouteUp) != 0 && (*flags & kRouteReject) == 0;
}

// Iface Destination Gateway Flags RefCnt Use Metric Mask ... (hexadecimal
// destination, flags and mask, decimal metric).
std::string defaultIPv4Interface(std::string_view table) {
  Route best;
  forEachLine(table, [&](const std::vector<std::string_view>& f) {
    if (f.size() < 8 || !allZero(f[1]) || !allZero(f[7])) return;
    const auto metric = number(f[6], 10);
    if (!usable(number(f[3], 16)) || !metric) return;
    best.offer(f[0], *metric);
  });
  return best.interface;
}

// Destination PrefixLength Source SourcePrefixLength NextHop Metric RefCnt
// Use Flags Iface, all hexadecimal.
std::string defaultIPv6Interface(std::string_view table) {
  Route best;
  forEachLine(table, [&](const std::vector<std::string_view>& f) {
    if (f.size() < 10 || !allZero(f[0]) || !allZero(f[1]) || f[9] == "lo") return;
    const auto metric = number(f[5], 16);
    if (!usable(number(f[8], 16)) || !metric) return;
    best.offer(f[9], *metric);
  });
  return best.interface;
}

bool isLinkLocalIPv6(const std::string& address) {
  if (address.size() < 4) return false;
  const auto prefix = number(std::string_view(address).substr(0, 4), 16);
  return prefix && (*prefix & 0xFFC0) == 0xFE80;
}

// Where an entry goes among its interface's entries.
int rank(const QXInterfaceAddress& entry) {
  if (entry.address.empty() || entry.family == QXAddressFamily::kOther) return 0;
  if (entry.family == QXAddressFamily::kIPv6) return isLinkLocalIPv6(entry.address) ? 1 : 2;
  return 3;
}

QXLinkKind linkKindOf(const std::string& name, unsigned flags) {
  if (flags & IFF_LOOPBACK) return QXLinkKind::kLoopback;
  const std::string base = "/sys/class/net/" + name;
  struct stat info {};
  if (::stat((base + "/wireless").c_str(), &info) == 0 ||
      ::stat((base + "/phy80211").c_str(), &info) == 0) {
    return QXLinkKind::kWireless;
  }
  if (name.rfind("wwan", 0) == 0) return QXLinkKind::kCellular;
  const auto type = QXReadFileHead(base + "/type", 64);
  if (type && QXFirstLine(*type) == "1") return QXLinkKind::kWired;  // ARPHRD_ETHER
  return QXLinkKind::kUnknown;
}

std::string addressText(const struct sockaddr* address, QXAddressFamily& family) {
  char text[INET6_ADDRSTRLEN] = {0};
  if (address == nullptr) return std::string();
  if (address->sa_family == AF_INET) {
    family = QXAddressFamily::kIPv4;
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) return text;
  } else if (address->sa_family == AF_INET6) {
    family = QXAddressFamily::kIPv6;
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    if (::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text)) return text;
  }
  return std::string();
}

}  // namespace

std::string QXLinuxInterfaces::defaultRouteInterface(std::string_view ipv4Routes,
                                                     std::string_view ipv6Routes) {
  std::string interface = defaultIPv4Interface(ipv4Routes);
  if (interface.empty()) interface = defaultIPv6Interface(ipv6Routes);
  return interface;
}

std::vector<QXInterfaceAddress> QXLinuxInterfaces::present(
    std::vector<QXInterfaceAddress> kernelList, const std::string& defaultInterface) {
  std::map<std::string, size_t> firstSeen;
  for (size_t i = 0; i < kernelList.size(); ++i)
    firstSeen.emplace(kernelList[i].name, i);
  std::stable_sort(kernelList.begin(), kernelList.end(),
                   [&](const QXInterfaceAddress& a, const QXInterfaceAddress& b) {
                     const size_t groupA = firstSeen.find(a.name)->second;
                     const size_t groupB = firstSeen.find(b.name)->second;
                     if (groupA != groupB) return groupA < groupB;
                     return rank(a) < rank(b);
                   });
  for (QXInterfaceAddress& entry : kernelList) {
    entry.systemName = entry.name;
    if (!defaultInterface.empty() && entry.name == defaultInterface) {
      entry.name = kMainInterface;
    } else if (entry.name.rfind("wwan", 0) == 0) {
      entry.name = kCellularInterface;
    }
  }
  return kernelList;
}

std::optional<std::vector<QXInterfaceAddress>> QXLinuxInterfaces::list(const std::string& root) {
  struct ifaddrs* entries = nullptr;
  if (::getifaddrs(&entries) != 0) return std::nullopt;
  std::vector<QXInterfaceAddress> kernelList;
  std::map<std::string, QXLinkKind> links;  // one look into /sys per interface
  for (struct ifaddrs* entry = entries; entry != nullptr; entry = entry->ifa_next) {
    QXInterfaceAddress address;
    address.name = entry->ifa_name ? entry->ifa_name : "";
    address.up = (entry->ifa_flags & IFF_UP) != 0;
    address.running = (entry->ifa_flags & IFF_RUNNING) != 0;
    auto link = links.find(address.name);
    if (link == links.end())
      link = links.emplace(address.name, linkKindOf(address.name, entry->ifa_flags)).first;
    address.link = link->second;
    address.address = addressText(entry->ifa_addr, address.family);
    kernelList.push_back(std::move(address));
  }
  ::freeifaddrs(entries);
  const std::string base = (root.empty() || root == "/") ? std::string() : root;
  const std::string ipv4 = QXReadFileHead(base + "/proc/net/route").value_or(std::string());
  std::string defaultInterface = defaultIPv4Interface(ipv4);
  if (defaultInterface.empty()) {
    const std::string ipv6 = QXReadFileHead(base + "/proc/net/ipv6_route").value_or(std::string());
    defaultInterface = defaultIPv6Interface(ipv6);
  }
  return present(std::move(kernelList), defaultInterface);
}

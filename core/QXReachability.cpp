#include "core/QXReachability.h"

#include "platform/QXPlatform.h"

namespace {

int preference(QXReachability::Status status) {
  switch (status) {
    case QXReachability::Status::kReachableViaWiFi:
      return 4;
    case QXReachability::Status::kReachableViaWired:
      return 3;
    case QXReachability::Status::kReachableViaCellular:
      return 2;
    case QXReachability::Status::kReachableViaOther:
      return 1;
    case QXReachability::Status::kNotReachable:
      break;
  }
  return 0;
}

bool isLinkLocalIPv6(const std::string& address) {
  return address.size() >= 4 && (address[0] == 'f' || address[0] == 'F') &&
         (address[1] == 'e' || address[1] == 'E') &&
         (address[2] == '8' || address[2] == '9' || address[2] == 'a' || address[2] == 'A' ||
          address[2] == 'b' || address[2] == 'B');
}

}  // namespace

std::unique_ptr<QXReachability> QXReachability::reachabilityForInternetConnection() {
  return std::make_unique<QXReachability>(QXPlatform::current());
}

QXReachability::Status QXReachability::currentReachabilityStatus() const {
  const auto interfaces = platform_.interfaceAddresses();
  if (!interfaces) return Status::kNotReachable;
  Status best = Status::kNotReachable;
  for (const QXInterfaceAddress& entry : *interfaces) {
    if (!entry.up || !entry.running || entry.address.empty()) continue;
    if (entry.link == QXLinkKind::kLoopback) continue;
    if (entry.family == QXAddressFamily::kOther) continue;
    if (entry.family == QXAddressFamily::kIPv6 && isLinkLocalIPv6(entry.address)) continue;
    Status status = Status::kReachableViaOther;
    switch (entry.link) {
      case QXLinkKind::kWireless:
        status = Status::kReachableViaWiFi;
        break;
      case QXLinkKind::kWired:
        status = Status::kReachableViaWired;
        break;
      case QXLinkKind::kCellular:
        status = Status::kReachableViaCellular;
        break;
      case QXLinkKind::kUnknown:
      case QXLinkKind::kLoopback:
        break;
    }
    if (preference(status) > preference(best)) best = status;
  }
  return best;
}

const char* QXReachability::textFor(Status status) {
  switch (status) {
    case Status::kReachableViaWiFi:
      return "wifi";
    case Status::kReachableViaWired:
      return "ethernet";
    case Status::kReachableViaCellular:
      return "cellular";
    case Status::kReachableViaOther:
      return "other";
    case Status::kNotReachable:
      break;
  }
  return "offline";
}

std::string QXReachability::currentReachabilityString() const {
  return textFor(currentReachabilityStatus());
}

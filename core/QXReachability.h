#ifndef QUORVEX_CORE_QXREACHABILITY_H_
#define QUORVEX_CORE_QXREACHABILITY_H_

#include <memory>
#include <string>

#include "platform/QXExport.h"

class QXPlatform;

// Whether, and how, the machine can reach the internet, judged from its
// network interfaces: an interface that is up and running and holds an
// address other than a loopback or IPv6 link-local one is a way out. When
// several are, the order of preference is wireless, wired, cellular, other.
//
// The texts are stable, one per kind: "wifi", "ethernet", "cellular",
// "other" and "offline".
class QX_EXPORT QXReachability {
 public:
  // How the internet can be reached, by the preferred way out.
  enum class Status {
    kNotReachable,          // "offline"
    kReachableViaWiFi,      // "wifi"
    kReachableViaWired,     // "ethernet"
    kReachableViaCellular,  // "cellular"
    kReachableViaOther,     // "other"
  };

  // Reachability of the internet through the current platform's interfaces.
  static std::unique_ptr<QXReachability> reachabilityForInternetConnection();
  // Reachability through `platform`'s interfaces; the platform must outlive
  // the object.
  explicit QXReachability(QXPlatform& platform) : platform_(platform) {}

  // Each call looks at the interfaces afresh.
  Status currentReachabilityStatus() const;
  // The text of currentReachabilityStatus().
  std::string currentReachabilityString() const;
  // Whether any way out is there now.
  bool isReachable() const { return currentReachabilityStatus() != Status::kNotReachable; }

  // The stable text of `status`.
  static const char* textFor(Status status);

 private:
  QXPlatform& platform_;
};

#endif  // QUORVEX_CORE_QXREACHABILITY_H_

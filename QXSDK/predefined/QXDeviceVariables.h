#ifndef QUORVEX_QXSDK_PREDEFINED_QXDEVICEVARIABLES_H_
#define QUORVEX_QXSDK_PREDEFINED_QXDEVICEVARIABLES_H_

#include <optional>
#include <string>
#include <vector>

#include "core/QXDynamicStore.h"
#include "platform/QXPlatform.h"

// The launch steps that describe the device: screen, model, system name and
// version, machine identifier and model name, address and signs of a
// modified system.
//
// A step object over the registry's store and the platform. It holds
// references only; each step reads the platform once and writes its keys
// with the store's own lock, so the steps need no other.
class QXDeviceVariables {
 public:
  // The paths whose presence marks a modified system, tested in this order.
  static constexpr const char* kJailbreakPaths[] = {"/Applications/Cydia.app", "/bin/bash",
                                                    "/private/var/lib/apt/"};

  QXDeviceVariables(QXDynamicStore& store, QXPlatform& platform)
      : store_(store), platform_(platform) {}

  // "#QX_SCREEN#": the main screen's width and height in points.
  void setLocalScreen();
  // "#QX_MODEL#", "#QX_SYSVERSION#", "#QX_SYSNAME#": as the device tells.
  void setLocalModel();
  void setLocalSysVersion();
  void setLocalSysName();
  // "#QX_IP#": findDeviceIP().
  void setIP();
  // "#QX_DEVICE#": the machine identifier; "#QX_MODEL_AND_VERSION#": its
  // name in the model name table, else the identifier itself.
  void setModelAndVersion();
  // "#QX_JAILBROKEN#": "1" when one of kJailbreakPaths exists, else "0".
  void setIsJailBroken();

  // The address of "en0", else of "pdp_ip0", else "".
  std::string findDeviceIP();

  // "%ix%i" of the bounds, each dimension truncated toward zero to a 32-bit
  // integer (one that does not fit is held at the nearest limit, NaN is 0);
  // no screen is "0x0".
  static std::string screenText(const std::optional<QXScreenBounds>& bounds);
  // The search of findDeviceIP over a listing; a failed listing gives "".
  static std::string findDeviceIP(const std::optional<std::vector<QXInterfaceAddress>>& interfaces);

 private:
  QXDynamicStore& store_;
  QXPlatform& platform_;
};

#endif  // QUORVEX_QXSDK_PREDEFINED_QXDEVICEVARIABLES_H_

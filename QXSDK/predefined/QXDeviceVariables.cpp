#include "QXSDK/predefined/QXDeviceVariables.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/predefined/QXModelNames.h"
#include "platform/QXUTF8.h"

namespace {

// A dimension in points as a 32-bit integer, truncated toward zero. The
// plain conversion is undefined for NaN and for values out of range, which a
// host's screen description can hold; those are held at 0 or the limits.
int32_t wholePoints(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace

std::string QXDeviceVariables::screenText(const std::optional<QXScreenBounds>& bounds) {
  const int32_t width = bounds ? wholePoints(bounds->width) : 0;
  const int32_t height = bounds ? wholePoints(bounds->height) : 0;
  return std::to_string(width) + "x" + std::to_string(height);
}

void QXDeviceVariables::setLocalScreen() {
  store_.addData(kQXPredefinedVariable_ScreenResolution, screenText(platform_.mainScreenBounds()));
}

void QXDeviceVariables::setLocalModel() {
  store_.addData(kQXPredefinedVariable_Model, platform_.currentDevice().model);
}

void QXDeviceVariables::setLocalSysVersion() {
  store_.addData(kQXPredefinedVariable_SystemVersion, platform_.currentDevice().systemVersion);
}

void QXDeviceVariables::setLocalSysName() {
  store_.addData(kQXPredefinedVariable_SystemName, platform_.currentDevice().systemName);
}

std::string QXDeviceVariables::findDeviceIP(
    const std::optional<std::vector<QXInterfaceAddress>>& interfaces) {
  if (!interfaces) return std::string();
  std::optional<std::string> main;
  std::optional<std::string> cellular;
  for (const QXInterfaceAddress& entry : *interfaces) {
    if (entry.address.empty()) continue;
    if (entry.family != QXAddressFamily::kIPv4 && entry.family != QXAddressFamily::kIPv6) continue;
    if (entry.name == "en0") {
      main = entry.address;
    } else if (entry.name == "pdp_ip0") {
      cellular = entry.address;
    }
  }
  if (main) return *main;
  if (cellular) return *cellular;
  return std::string();
}

std::string QXDeviceVariables::findDeviceIP() {
  return findDeviceIP(platform_.interfaceAddresses());
}

void QXDeviceVariables::setIP() {
  store_.addData(kQXPredefinedVariable_IP, findDeviceIP());
}

void QXDeviceVariables::setModelAndVersion() {
  // The kernel hands over bytes; the identifier is their UTF-8 text, so an
  // ill-formed sequence reaches the hit as U+FFFD rather than as raw bytes.
  const std::string machine = QXDecodeUTF8(platform_.currentDevice().machine);
  store_.addData(kQXPredefinedVariable_Device, machine);
  const auto name = QXModelNames::nameFor(machine);
  store_.addData(kQXPredefinedVariable_ModelAndVersion, name ? std::string(*name) : machine);
}

void QXDeviceVariables::setIsJailBroken() {
  store_.addData(kQXPredefinedVariable_JailBroken, std::string("0"));
  for (const char* path : kJailbreakPaths) {
    if (platform_.fileExists(path)) {
      store_.addData(kQXPredefinedVariable_JailBroken, std::string("1"));
      return;
    }
  }
}

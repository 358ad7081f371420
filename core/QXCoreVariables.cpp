#include "core/QXCoreVariables.h"

#include "core/QXCoreConstants.h"
#include "platform/QXPlatform.h"

namespace {
constexpr const char* kIDFVDefaultsKey = "qx_core_idfv";
constexpr const char* kNoAdvertisingIdentifier = "00000000-0000-0000-0000-000000000000";
}  // namespace

QXCoreVariables* QXCoreVariables::init() {
  initSingleton();
  dynamicStore_.addData(kQXPredefinedVariable_UserAgent, userAgentText());
  return this;
}

std::string QXCoreVariables::userAgentText() {
  QXPlatform& platform = QXPlatform::current();
  const QXDeviceInfo device = platform.currentDevice();
  std::string agent;
  if (auto name = platform.infoDictionaryValue(kQXBundleNameKey)) {
    agent += *name;
    if (auto version = platform.infoDictionaryValue(kQXBundleShortVersionStringKey)) {
      agent += "/" + *version;
    }
    agent += " ";
  }
  agent += std::string("Quorvex/") + kQXCoreVersion + " (" + device.systemName + " " +
           device.systemVersion + "; " + device.machine + ")";
  return agent;
}

void QXCoreVariables::setIDFV() {
  QXPlatform& platform = QXPlatform::current();
  std::string vendorIdentifier;
  if (QXStandardUserDefaults* defaults = platform.standardUserDefaults()) {
    if (auto stored = defaults->objectForKey(kIDFVDefaultsKey)) {
      vendorIdentifier = *stored;
    } else {
      vendorIdentifier = platform.createUUID();
      defaults->setObject(vendorIdentifier, kIDFVDefaultsKey);
    }
  } else {
    vendorIdentifier = platform.createUUID();
  }
  dynamicStore_.addData(kQXCoreVariable_IDFV, vendorIdentifier);
  dynamicStore_.addData(kQXPredefinedVariable_IDFA, std::string(kNoAdvertisingIdentifier));
}

#include "core/QXCoreInitialisation.h"

#include <atomic>
#include <mutex>

#include "core/QXCoreConstants.h"
#include "core/QXCoreVariables.h"
#include "core/QXGuard.h"
#include "core/QXLogger.h"
#include "core/QXNetworkManager.h"
#include "platform/QXNotificationCenter.h"
#include "platform/QXPlatformLog.h"
#include "platform/QXPlatformUse.h"

namespace {
std::atomic<int> gCreated{0};
}  // namespace

QXCoreInitialisation::QXCoreInitialisation() noexcept {
  gCreated.fetch_add(1);
  // A first creation that fails leaves the flag unset: the next one tries
  // again.
  static std::once_flag once;
  QXGuarded("Initialising the core", [] { std::call_once(once, &initialiseOnce); });
}

void QXCoreInitialisation::initialiseOnce() {
  QXMarkPlatformInUse();
  QXSetPlatformErrorSink(
      [](const std::string& message) { QXLogger::sharedInstance().logMessage(message, 4); });
  QXCoreVariables& variables = QXCoreVariables::sharedInstance();
  QXNetworkManager::sharedInstance();
  QXUserInfo userInfo;
  userInfo[kQXUserInfo_DataKey] =
      variables.getData(kQXPredefinedVariable_UserAgent).value_or(std::string());
  QXNotificationCenter::defaultCenter()->postNotification(QXNotification::notificationWithName(
      kQXNotification_UserAgentAvailable, &variables, std::move(userInfo)));
}

int QXCoreInitialisation::instancesCreated() {
  return gCreated.load();
}

#include "QXSDK/predefined/QXApplicationVariables.h"

#include <optional>
#include <string>

#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/predefined/QXReadings.h"
#include "core/QXUserDefaults.h"
#include "platform/QXPlatform.h"

namespace {

bool isPresent(const std::optional<std::string>& value) {
  return value && !value->empty();
}

}  // namespace

void QXApplicationVariables::setApplicationBuild() {
  if (auto build = platform_.infoDictionaryValue(kQXBundleVersionKey)) {
    store_.addData(kQXPredefinedVariable_ApplicationBuild, *build);
  }
}

void QXApplicationVariables::setBundleIdentifier() {
  store_.addData(kQXPredefinedVariable_BundleID, platform_.bundleIdentifier());
}

void QXApplicationVariables::setApplicationName() {
  store_.addData(kQXPredefinedVariable_ApplicationName,
                 platform_.infoDictionaryValue(kQXBundleNameKey));
}

void QXApplicationVariables::initApplicationVersion() {
  const std::string current =
      platform_.infoDictionaryValue(kQXBundleShortVersionStringKey).value_or(std::string());
  auto retrieve = [this](const char* label) {
    return QXUserDefaults::retrieveInfoFromUserDefaults(label, platform_);
  };
  auto persist = [this](const std::string& value, const char* label) {
    QXUserDefaults::saveInfoToUserDefaults(value, label, platform_);
  };

  const auto firstVisit = retrieve(kQXPredefinedVariable_CurVersionFirstVisitMs);
  if (isPresent(firstVisit))
    store_.addData(kQXPredefinedVariable_CurVersionFirstVisitMs, firstVisit);

  if (!current.empty()) {
    const std::string now = QXReadings::text(QXReadings::nowMs(platform_));
    const std::string stored =
        retrieve(kQXPredefinedVariable_ApplicationVersion).value_or(std::string());
    if (stored.empty()) {
      store_.addData(kQXPredefinedVariable_CurVersionFirstVisitMs, now);
      persist(now, kQXPredefinedVariable_CurVersionFirstVisitMs);
    } else if (stored != current) {
      persist(stored, kQXPredefinedVariable_ApplicationPreviousVersion);
      store_.addData(kQXPredefinedVariable_CurVersionFirstVisitMs, now);
      persist(now, kQXPredefinedVariable_CurVersionFirstVisitMs);
    }
    persist(current, kQXPredefinedVariable_ApplicationVersion);
  }

  const auto previous = retrieve(kQXPredefinedVariable_ApplicationPreviousVersion);
  if (isPresent(previous))
    store_.addData(kQXPredefinedVariable_ApplicationPreviousVersion, previous);
  store_.addData(kQXPredefinedVariable_ApplicationVersion, current);
}

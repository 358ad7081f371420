#include "QXSDK/predefined/QXVisitHistory.h"

#include <limits>

#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/predefined/QXReadings.h"
#include "core/QXUserDefaults.h"
#include "core/QXUtils.h"
#include "platform/QXPlatform.h"

namespace {

// One more than a stored counter, kept within the 32-bit range a damaged
// record could otherwise overflow.
int32_t incremented(int32_t value) {
  return value == std::numeric_limits<int32_t>::max() ? value : value + 1;
}

}  // namespace

std::optional<std::string> QXVisitHistory::record(const char* key) {
  QXStandardUserDefaults* defaults = platform_.standardUserDefaults();
  if (defaults == nullptr) return std::nullopt;
  return defaults->objectForKey(key);
}

void QXVisitHistory::writeRecord(const char* key, const std::string& value) {
  if (QXStandardUserDefaults* defaults = platform_.standardUserDefaults()) {
    defaults->setObject(value, key);
  }
}

std::string QXVisitHistory::nowString() {
  return QXReadings::text(QXReadings::now(platform_));
}

void QXVisitHistory::addTimestamp(const std::string& key, const std::string& keyMs,
                                  const std::string& time) {
  const int64_t seconds = QXReadings::longLongValue(time);
  int64_t milliseconds = 0;
  if (__builtin_mul_overflow(seconds, int64_t{1000}, &milliseconds)) {
    // Only a damaged record holds such a date; keep the text a number.
    milliseconds =
        seconds < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  }
  store_.addData(key, QXReadings::text(seconds));
  store_.addData(keyMs, QXReadings::text(milliseconds));
}

void QXVisitHistory::initIsFirstVisit() {
  const auto seen = QXUserDefaults::retrieveInfoFromUserDefaults(
      kQXPredefinedVariable_CurVersionFirstVisitMs, platform_);
  store_.addData(kQXPredefinedVariable_IsFirstVisit, std::string(seen ? "FALSE" : "TRUE"));
}

void QXVisitHistory::initColdStartNumber() {
  const auto stored =
      QXUserDefaults::retrieveInfoFromUserDefaults(kQXPredefinedVariable_ColdStarts, platform_);
  const int32_t starts =
      (!stored || stored->empty()) ? 1 : incremented(QXReadings::intValue(stored));
  const std::string text = QXReadings::text(starts);
  store_.addData(kQXPredefinedVariable_ColdStarts, text);
  QXUserDefaults::saveInfoToUserDefaults(text, kQXPredefinedVariable_ColdStarts, platform_);
}

void QXVisitHistory::initLastCallLastVisit() {
  const auto lastCall =
      QXUserDefaults::retrieveInfoFromUserDefaults(kQXPredefinedVariable_LastCall, platform_);
  const auto lastCallMs =
      QXUserDefaults::retrieveInfoFromUserDefaults(kQXPredefinedVariable_LastCallMs, platform_);
  if (lastCall && !lastCall->empty()) {
    store_.addData(kQXPredefinedVariable_LastSessionLastHit, lastCall);
  }
  if (lastCallMs && !lastCallMs->empty()) {
    store_.addData(kQXPredefinedVariable_LastSessionLastHitMs, lastCallMs);
  }
}

void QXVisitHistory::setTimestamps() {
  const auto firstVisit = record(kQXDateFirstVisitFormat);
  if (!firstVisit) {
    setFirstVisitUserDefaults();
    return;
  }
  addTimestamp(kQXPredefinedVariable_FirstVisit, kQXPredefinedVariable_FirstVisitMs, *firstVisit);
  const auto lastPid = record(kQXLastPID);
  if (lastPid && *lastPid == pid_) {
    updateVisitUserDefaults();
  } else {
    newVisitUserDefaults(*firstVisit);
  }
}

void QXVisitHistory::setFirstVisitUserDefaults() {
  const std::string now = nowString();
  addTimestamp(kQXPredefinedVariable_FirstVisit, kQXPredefinedVariable_FirstVisitMs, now);
  addTimestamp(kQXPredefinedVariable_LastVisit, kQXPredefinedVariable_LastVisitMs, now);
  addTimestamp(kQXPredefinedVariable_CurrentVisit, kQXPredefinedVariable_CurrentVisitMs, now);
  addTimestamp(kQXPredefinedVariable_CurrentSession, kQXPredefinedVariable_CurrentSessionMs, now);
  store_.addData(kQXPredefinedVariable_NumberVisits, std::string("1"));
  store_.addData(kQXPredefinedVariable_NumberSessions, std::string("1"));
  writeRecord(kQXDateFirstVisitFormat, nowString());
  writeRecord(kQXDateLastVisitFormat, nowString());
  writeRecord(kQXDateCurrentVisitFormat, nowString());
  writeRecord(kQXNumberVisitsFormat, "1");
  writeRecord(kQXNumberColdStarts, "1");
  writeRecord(kQXLastPID, pid_);
}

void QXVisitHistory::updateVisitUserDefaults() {
  const auto lastVisit = record(kQXDateLastVisitFormat);
  const auto currentVisit = record(kQXDateCurrentVisitFormat);
  const auto coldStarts = record(kQXNumberColdStarts);
  const auto visits = record(kQXNumberVisitsFormat);
  if (lastVisit) {
    addTimestamp(kQXPredefinedVariable_LastVisit, kQXPredefinedVariable_LastVisitMs, *lastVisit);
  }
  if (currentVisit) {
    addTimestamp(kQXPredefinedVariable_CurrentVisit, kQXPredefinedVariable_CurrentVisitMs,
                 *currentVisit);
    addTimestamp(kQXPredefinedVariable_CurrentSession, kQXPredefinedVariable_CurrentSessionMs,
                 *currentVisit);
  }
  if (coldStarts) store_.addData(kQXPredefinedVariable_NumberSessions, coldStarts);
  if (visits) store_.addData(kQXPredefinedVariable_NumberVisits, visits);
}

void QXVisitHistory::newVisitUserDefaults(const std::string& firstVisit) {
  const auto currentVisit = record(kQXDateCurrentVisitFormat);
  const std::string now = nowString();
  writeRecord(kQXLastPID, pid_);

  const std::string previousVisit = currentVisit ? *currentVisit : firstVisit;
  addTimestamp(kQXPredefinedVariable_LastVisit, kQXPredefinedVariable_LastVisitMs, previousVisit);
  writeRecord(kQXDateLastVisitFormat, previousVisit);

  addTimestamp(kQXPredefinedVariable_CurrentVisit, kQXPredefinedVariable_CurrentVisitMs, now);
  addTimestamp(kQXPredefinedVariable_CurrentSession, kQXPredefinedVariable_CurrentSessionMs, now);
  writeRecord(kQXDateCurrentVisitFormat, now);

  const std::string visits =
      QXReadings::text(incremented(QXReadings::intValue(record(kQXNumberVisitsFormat))));
  store_.addData(kQXPredefinedVariable_NumberVisits, visits);
  writeRecord(kQXNumberVisitsFormat, visits);

  const auto storedColdStarts = record(kQXNumberColdStarts);
  const int32_t coldStarts = (storedColdStarts && storedColdStarts->empty())
                                 ? 1
                                 : incremented(QXUtils::numberFromNSString(storedColdStarts));
  const std::string sessions = QXReadings::text(coldStarts);
  store_.addData(kQXPredefinedVariable_NumberSessions, sessions);
  writeRecord(kQXNumberColdStarts, sessions);
}

void QXVisitHistory::updateVariablesForNewVisit() {
  store_.addData(kQXPredefinedVariable_LastSessionLastHit,
                 store_.getData(kQXPredefinedVariable_CurrentCall));
  store_.addData(kQXPredefinedVariable_LastSessionLastHitMs,
                 store_.getData(kQXPredefinedVariable_CurrentCallMs));

  const std::string sessions =
      QXReadings::text(incremented(QXUtils::numberFromNSString(record(kQXNumberVisitsFormat))));
  store_.addData(kQXPredefinedVariable_NumberSessions, sessions);
  writeRecord(kQXNumberVisitsFormat, sessions);

  store_.addData(kQXPredefinedVariable_CurrentSessionMs,
                 QXReadings::text(QXReadings::nowMs(platform_)));
  store_.addData(kQXPredefinedVariable_CurrentSession, nowString());
  writeRecord(kQXDateCurrentVisitFormat, nowString());
}

void QXVisitHistory::firstExecute() {
  const bool executed = store_.getData(kQXPredefinedVariable_FirstExecute).has_value();
  store_.addData(kQXPredefinedVariable_FirstExecute, std::string(executed ? "FALSE" : "TRUE"));
}

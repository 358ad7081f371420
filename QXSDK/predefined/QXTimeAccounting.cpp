#include "QXSDK/predefined/QXTimeAccounting.h"

#include <cstdint>
#include <exception>

#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/predefined/QXReadings.h"
#include "core/QXLogger.h"
#include "core/QXUserDefaults.h"
#include "platform/QXPlatform.h"

namespace {

uint64_t elapsed(uint64_t later, uint64_t earlier) {
  return later >= earlier ? later - earlier : 0;
}

}  // namespace

std::optional<std::string> QXTimeAccounting::label(const char* name) {
  return QXUserDefaults::retrieveInfoFromUserDefaults(name, platform_);
}

void QXTimeAccounting::saveLabel(const char* name, const std::string& value) {
  QXUserDefaults::saveInfoToUserDefaults(value, name, platform_);
}

void QXTimeAccounting::logConversionFailure(const char* what) {
  QXLogger::sharedInstance().logMessage(
      std::string("Invalid value when converting to number: ") + what + " <> ", 3);
}

void QXTimeAccounting::refreshForHit() {
  const uint64_t hitMs = QXReadings::nowMs(platform_);
  setSessionDuration(hitMs);
  initNavTimestampCalls(QXReadings::now(platform_), hitMs);
  setRandom();

  // The time since the last counting goes to the state the application is in.
  const uint64_t spent = elapsed(hitMs, state_.lastTime);
  uint64_t& delta = state_.isBackground ? state_.deltaBackground : state_.deltaForeground;
  uint64_t& total = state_.isBackground ? state_.totalBackgroundTime : state_.totalForegroundTime;
  delta += spent;
  total += spent;
  state_.lastTime = hitMs;
  store_.addData(kQXPredefinedVariable_ForegroundTime,
                 QXReadings::text(state_.totalForegroundTime));
  store_.addData(kQXPredefinedVariable_DeltaForegroundTime,
                 QXReadings::text(state_.deltaForeground));
  store_.addData(kQXPredefinedVariable_BackgroundTime,
                 QXReadings::text(state_.totalBackgroundTime));
  store_.addData(kQXPredefinedVariable_DeltaBackgroundTime,
                 QXReadings::text(state_.deltaBackground));

  saveLabel(kQXUsageDuration,
            QXReadings::text(state_.deltaBackground + state_.deltaForeground + state_.startUsage));
  state_.deltaBackground = 0;
  state_.deltaForeground = 0;
}

void QXTimeAccounting::setSessionDuration(uint64_t hitMs) {
  const double visit = QXReadings::doubleValue(store_.getData(kQXPredefinedVariable_CurrentVisit));
  const uint64_t visitSeconds = visit > 0 && visit < 1.8e19 ? static_cast<uint64_t>(visit) : 0;
  if (visitSeconds == 0) {
    QXLogger::sharedInstance().logMessage("Error with timestamp kQXDateCurrentVisitFormat", 4);
    return;
  }
  store_.addData(kQXPredefinedVariable_SessionDuration,
                 QXReadings::text(elapsed(hitMs / 1000, visitSeconds)));
  const uint64_t visitMs = visitSeconds > UINT64_MAX / 1000 ? UINT64_MAX : visitSeconds * 1000;
  store_.addData(kQXPredefinedVariable_SessionDurationMs,
                 QXReadings::text(elapsed(hitMs, visitMs) + state_.startUsage));
}

void QXTimeAccounting::initNavTimestampCalls(uint64_t hitSeconds, uint64_t hitMs) {
  const std::string seconds = QXReadings::text(hitSeconds);
  const std::string milliseconds = QXReadings::text(hitMs);
  store_.addData(kQXPredefinedVariable_Now, seconds);
  store_.addData(kQXPredefinedVariable_NowMs, milliseconds);

  if (store_.getData(kQXPredefinedVariable_LastCall)) {
    store_.addData(kQXPredefinedVariable_LastCall,
                   store_.getData(kQXPredefinedVariable_CurrentCall));
    store_.addData(kQXPredefinedVariable_LastCallMs,
                   store_.getData(kQXPredefinedVariable_CurrentCallMs));
  } else if (const auto previous = label(kQXPredefinedVariable_LastCall)) {
    store_.addData(kQXPredefinedVariable_LastCall, previous);
    store_.addData(kQXPredefinedVariable_LastCallMs, label(kQXPredefinedVariable_LastCallMs));
  } else {
    store_.addData(kQXPredefinedVariable_LastCall, seconds);
    store_.addData(kQXPredefinedVariable_LastCallMs, milliseconds);
  }

  store_.addData(kQXPredefinedVariable_CurrentCall, seconds);
  store_.addData(kQXPredefinedVariable_CurrentCallMs, milliseconds);
  saveLabel(kQXPredefinedVariable_LastCall, seconds);
  saveLabel(kQXPredefinedVariable_LastCallMs, milliseconds);
}

void QXTimeAccounting::setRandom() {
  store_.addData(kQXPredefinedVariable_Random, QXReadings::text(QXReadings::randomInt(platform_)));
}

void QXTimeAccounting::didEnterBackground() {
  state_.isBackground = true;
  const uint64_t now = QXReadings::nowMs(platform_);
  const uint64_t spent = elapsed(now, state_.lastTime);
  saveLabel(kQXTimeSinceLastMeasurement, QXReadings::text(spent));
  saveLabel(kQXExitTimestamp, QXReadings::text(now));
  saveLabel(kQXLastForegroundTime, QXReadings::text(state_.totalForegroundTime));
  saveLabel(kQXLastBackgroundTime, QXReadings::text(state_.totalBackgroundTime));
  state_.totalForegroundTime += spent;
  state_.deltaForeground += spent;
  state_.lastTime = now;
}

bool QXTimeAccounting::willEnterForeground() {
  if (!state_.isBackground) return false;
  state_.isBackground = false;
  state_.totalForegroundTransitions += 1;
  store_.addData(kQXPredefinedVariable_ForegroundTransitions,
                 QXReadings::text(state_.totalForegroundTransitions));
  const uint64_t now = QXReadings::nowMs(platform_);
  state_.deltaBackground = elapsed(now, state_.lastTime);
  state_.totalBackgroundTime += state_.deltaBackground;
  state_.lastTime = now;
  return state_.deltaBackground > state_.visitDuration;
}

void QXTimeAccounting::initComScoreSession() {
  const std::string launch = QXReadings::text(QXReadings::nowMs(platform_));
  try {
    const auto sessionStart = label(kQXSessionStartTimestamp);
    if (!sessionStart) {
      saveLabel(kQXSessionStartTimestamp, launch);
      saveLabel(kQXLastSessionStartTimestamp, "0");
      saveLabel(kQXUsageDuration, "0");
      store_.addData(kQXPredefinedVariable_LastSessionStartMs, std::string("0"));
      store_.addData(kQXPredefinedVariable_LastForegroundTimeWithoutMeasurement, std::string("0"));
      store_.addData(kQXPredefinedVariable_TimeSinceLastExit, std::string("0"));
      store_.addData(kQXPredefinedVariable_IsNewSession, std::string("1"));
      computeDeltaSinceLastLaunch(launch);
      computeStartUsageTime(true);
    } else {
      // Unsigned on purpose: a stored start later than the launch (the clock
      // was set back) gives a huge difference and so starts a new session.
      const uint64_t sinceStart =
          QXReadings::unsignedNumberValue(launch) - QXReadings::unsignedNumberValue(sessionStart);
      if (sinceStart <= state_.visitDuration) {
        store_.addData(kQXPredefinedVariable_IsNewSession, std::string("0"));
        computeDeltaSinceLastLaunch(launch);
        computeStartUsageTime(false);
      } else {
        saveLabel(kQXSessionStartTimestamp, launch);
        saveLabel(kQXLastSessionStartTimestamp, *sessionStart);
        store_.addData(kQXPredefinedVariable_LastSessionStartMs, sessionStart);
        store_.addData(kQXPredefinedVariable_IsNewSession, std::string("1"));
        computeDeltaSinceLastLaunch(launch);
        computeStartUsageTime(true);
      }
    }
  } catch (const std::exception& error) {
    logConversionFailure(error.what());
  }
  store_.addData(kQXPredefinedVariable_LastSessionStartMs, label(kQXLastSessionStartTimestamp));
}

void QXTimeAccounting::computeDeltaSinceLastLaunch(const std::string& launchMs) {
  try {
    const auto exit = label(kQXExitTimestamp);
    const auto lastBackground = label(kQXLastBackgroundTime);
    const auto sinceMeasurement = label(kQXTimeSinceLastMeasurement);
    const auto lastForeground = label(kQXLastForegroundTime);
    const std::string zero = "0";
    store_.addData(kQXPredefinedVariable_TimeSinceLastExit, zero);
    store_.addData(kQXPredefinedVariable_AccumulatedBackgroundTime, zero);
    store_.addData(kQXPredefinedVariable_LastForegroundTimeWithoutMeasurement, zero);
    store_.addData(kQXPredefinedVariable_AccumulatedForegroundTimeWithoutMeasurement, zero);
    if (!exit || !lastBackground || !sinceMeasurement || !lastForeground) return;

    const uint64_t launch = QXReadings::unsignedNumberValue(launchMs);
    const uint64_t exitMs = QXReadings::unsignedNumberValue(exit);
    const uint64_t foreground = QXReadings::unsignedNumberValue(lastForeground);
    const uint64_t background = QXReadings::unsignedNumberValue(lastBackground);
    const uint64_t measured = QXReadings::unsignedNumberValue(sinceMeasurement);
    const uint64_t away = elapsed(launch, exitMs);
    store_.addData(kQXPredefinedVariable_AccumulatedBackgroundTime,
                   QXReadings::text(background + away));
    store_.addData(kQXPredefinedVariable_TimeSinceLastExit, QXReadings::text(away));
    store_.addData(kQXPredefinedVariable_LastForegroundTimeWithoutMeasurement, sinceMeasurement);
    store_.addData(kQXPredefinedVariable_AccumulatedForegroundTimeWithoutMeasurement,
                   QXReadings::text(measured + foreground));
  } catch (const std::exception& error) {
    logConversionFailure(error.what());
  }
}

void QXTimeAccounting::computeStartUsageTime(bool isNewSession) {
  try {
    if (const auto usage = label(kQXUsageDuration)) {
      state_.startUsage = QXReadings::unsignedNumberValue(usage);
    }
    const uint64_t lastForeground = QXReadings::unsignedNumberValue(
        store_.getData(kQXPredefinedVariable_LastForegroundTimeWithoutMeasurement));
    const uint64_t sinceExit =
        QXReadings::unsignedNumberValue(store_.getData(kQXPredefinedVariable_TimeSinceLastExit));
    const uint64_t userSession = isNewSession ? sinceExit : sinceExit + lastForeground;
    store_.addData(kQXPredefinedVariable_UserSessionDurationMs, QXReadings::text(userSession));
    const uint64_t usage = state_.startUsage + userSession;
    store_.addData(kQXPredefinedVariable_UsageSessionDurationMs, QXReadings::text(usage));
    state_.startUsage = usage;
  } catch (const std::exception& error) {
    logConversionFailure(error.what());
  }
}

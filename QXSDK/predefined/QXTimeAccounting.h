#ifndef QUORVEX_QXSDK_PREDEFINED_QXTIMEACCOUNTING_H_
#define QUORVEX_QXSDK_PREDEFINED_QXTIMEACCOUNTING_H_

#include <cstdint>
#include <string>

#include "QXSDK/QXTimeState.h"
#include "core/QXDynamicStore.h"

class QXPlatform;

// Time and usage accounting: the time of each hit and of the previous one,
// the session duration, foreground and background time per process and since
// the previous hit, and the launch session decided at each initialisation
// from the figures that each departure to background persisted.
//
// A step object over the time fields, the registry's store and the
// platform's clock and user defaults. It holds references only; the caller
// serialises the steps (the registry does so with its mutex).
//
// Elapsed times are never negative: when the wall clock has been set back,
// the time between two readings counts as zero rather than wrapping around.
class QXTimeAccounting {
 public:
  QXTimeAccounting(QXTimeState& state, QXDynamicStore& store, QXPlatform& platform)
      : state_(state), store_(store), platform_(platform) {}

  // The per-hit refresh, after the device identifiers: dates of this and the
  // previous hit, session duration, a new random number, the foreground and
  // background figures, and the usage figure persisted for the next launch.
  void refreshForHit();
  void setSessionDuration(uint64_t hitMs);
  void initNavTimestampCalls(uint64_t hitSeconds, uint64_t hitMs);
  void setRandom();

  void didEnterBackground();
  // Returns true when the stay in background was longer than visitDuration,
  // so that a new session must begin.
  bool willEnterForeground();

  // The launch session, decided once per initialisation.
  void initComScoreSession();
  void computeDeltaSinceLastLaunch(const std::string& launchMs);
  void computeStartUsageTime(bool isNewSession);

 private:
  std::optional<std::string> label(const char* name);
  void saveLabel(const char* name, const std::string& value);
  void logConversionFailure(const char* what);

  QXTimeState& state_;
  QXDynamicStore& store_;
  QXPlatform& platform_;
};

#endif  // QUORVEX_QXSDK_PREDEFINED_QXTIMEACCOUNTING_H_

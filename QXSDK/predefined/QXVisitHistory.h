#ifndef QUORVEX_QXSDK_PREDEFINED_QXVISITHISTORY_H_
#define QUORVEX_QXSDK_PREDEFINED_QXVISITHISTORY_H_

#include <optional>
#include <string>

#include "core/QXDynamicStore.h"

class QXPlatform;

// The visit history of the user across launches: first, previous and current
// visit, visit and cold-start counters, the process that wrote them last, and
// the first-visit and first-execute flags.
//
// A step object over the registry's store, the platform's user defaults (the
// visit record, under "qx_..." keys, and labels under predefined-variable
// names) and its clock. It holds references only; the caller owns the store
// and serialises the steps with its other time-dependent work.
class QXVisitHistory {
 public:
  QXVisitHistory(QXDynamicStore& store, QXPlatform& platform, std::string pid)
      : store_(store), platform_(platform), pid_(std::move(pid)) {}

  // "#QX_IS_FIRST_VISIT#": "FALSE" once any application version has been
  // seen at a launch before, else "TRUE".
  void initIsFirstVisit();
  // The latest hit of an earlier process as "#QX_LAST_SESSION_LAST_HIT#"(_MS).
  void initLastCallLastVisit();
  // Counts this launch in "#QX_APPLICATION_STARTS#".
  void initColdStartNumber();
  // The visit decision: first visit, same process again, or a new visit.
  void setTimestamps();
  void setFirstVisitUserDefaults();
  void updateVisitUserDefaults();
  void newVisitUserDefaults(const std::string& firstVisit);
  // A new session: at the end of every initialisation and after a long stay
  // in background.
  void updateVariablesForNewVisit();
  // "#QX_FIRST_EXECUTE#": "TRUE" on a store that has none, "FALSE" after.
  void firstExecute();
  // Writes a date in seconds under `key` and the same date in milliseconds
  // (seconds times 1000) under `keyMs`.
  void addTimestamp(const std::string& key, const std::string& keyMs, const std::string& time);

 private:
  std::optional<std::string> record(const char* key);
  void writeRecord(const char* key, const std::string& value);
  std::string nowString();

  QXDynamicStore& store_;
  QXPlatform& platform_;
  const std::string pid_;
};

#endif  // QUORVEX_QXSDK_PREDEFINED_QXVISITHISTORY_H_

#ifndef QUORVEX_QXSDK_QXPREDEFINEDVARIABLES_H_
#define QUORVEX_QXSDK_QXPREDEFINEDVARIABLES_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "QXSDK/QXTimeState.h"
#include "core/IQXDynamicStore.h"
#include "core/IQXEventListenerDelegate.h"
#include "core/QXDynamicStore.h"
#include "core/QXEventListener.h"
#include "core/QXSingleton.h"
#include "platform/QXExport.h"

class QXPostData;
class QXPlatform;
class QXTimeAccounting;

// The process-wide registry of predefined variables: the values under
// "#QX_...#" keys that the SDK computes itself and that go first into every
// hit's body. Created by the first tracker (through its start-up object),
// never destroyed.
//
// Creation runs a guarded initialisation and its 29 steps in a fixed order;
// reinit() runs it all again on the same object with a new store. Before each
// hit the time-dependent variables are refreshed; the application's
// background and foreground transitions are counted.
//
// Threads: any member may be called from any thread. The time fields, the
// process identifier and the listener are guarded by one mutex of the
// registry, which the per-hit refresh, the transition handlers and the
// launch-session step take; the store has its own lock. A hit's refresh and
// the copy of the store into its body happen under that mutex together, so
// each body carries the values of its own refresh.
class QX_EXPORT QXPredefinedVariables : public QXSingleton<QXPredefinedVariables>,
                                        public IQXDynamicStore,
                                        public IQXEventListenerDelegate {
 public:
  // Objects other than the shared one may be made and initialised, but once
  // the class has been initialised, init() leaves them untouched, without a
  // store's contents.
  QXPredefinedVariables();
  ~QXPredefinedVariables() override;

  // --- Life cycle ---
  // The guarded initialisation; returns this object.
  QXPredefinedVariables* init();
  // Initialises the object again: a new store, the counters reset, every step
  // run again with its persisted effects.
  QXPredefinedVariables* reinit();
  // The 29 initialisation steps in their order.
  void predefinedVariableInitialisation();

  // --- Store (IQXDynamicStore) ---
  using IQXDynamicStore::addData;
  void addData(const QXDynamicStore* store) override;
  void addData(const std::string& key, const std::optional<std::string>& value) override;
  std::optional<std::string> getData(const std::string& key) override;
  std::optional<std::string> removeData(const std::string& key) override;
  void clearData() override;
  // The store of the predefined variables.
  QXDynamicStore& dynamicStore() { return dynamicStore_; }

  // --- Notifications ---
  // Moves the listener (user agent) to `center`.
  void changeNotificationCenter(std::shared_ptr<QXNotificationCenter> center) override;
  // Stores the user agent that the core announces.
  void onNotificationReceived(const QXNotification& notification) override;
  // The application went to background (the platform's notification):
  // foreground time is counted up to now and the figures of the next
  // launch are persisted.
  void didEnterBackground(const QXNotification& notification);
  // The application came back: background time is counted, and a stay of
  // more than the visit duration starts a new session.
  void willEnterForeground(const QXNotification& notification);

  // --- Hits ---
  // Brings every time-dependent variable up to date.
  void computeTimeChangingVariables();
  // The same, then copies the whole store into `postData`, under one lock.
  void computeTimeChangingVariablesInto(QXPostData& postData);
  // Marks that a hit has been handed over ("#QX_FIRST_EXECUTE#").
  void firstExecute();

  // --- Initialisation steps, in their order ---
  void initIsFirstVisit();
  void setDefaultReachability();
  void setManufacturer();
  void initLastCallLastVisit();
  void setQuorvexVersion();
  void setVisitorIDCurrentCallUniqueID();
  void setLocalCharset();
  void setLocalScreen();
  void setApplicationBuild();
  void setLocalModel();
  void setLocalSysVersion();
  void setLocalSysName();
  void setLocalLanguage();
  void setEmptyString();
  void setRandom();
  void setIP();
  void setBundleIdentifier();
  void setApplicationName();
  void setRuntimeName();
  void setModelAndVersion();
  void setIsJailBroken();
  void initApplicationVersion();
  void initColdStartNumber();
  void setTimestamps();
  void initComScoreSession();
  // (firstExecute, currencyCode and currencySymbol are steps 26 to 28.)
  void updateVariablesForNewVisit();

  // --- Accessors: the stored value of one predefined variable each ---
  std::optional<std::string> IP();
  std::optional<std::string> phoneModel();
  std::optional<std::string> systemName();
  std::optional<std::string> systemVersion();
  std::optional<std::string> quorvexVersion();
  std::optional<std::string> applicationVersion();
  std::optional<std::string> applicationBuild();
  std::optional<std::string> manufacturer();
  std::optional<std::string> language();
  std::optional<std::string> charset();
  std::optional<std::string> uniqueIdentifier();
  std::optional<std::string> screenSize();
  std::optional<std::string> localConnexion();
  std::optional<std::string> navNumberVisit();
  std::optional<std::string> numberSession();
  std::optional<std::string> nav_TimestampCurrentVisit();
  std::optional<std::string> nav_TimestampCurrentVisitMs();
  std::optional<std::string> timestampCurrentVisit();
  std::optional<std::string> timestampCurrentVisitMs();
  std::optional<std::string> timestampLastCall();
  std::optional<std::string> timestampLastCallMs();
  // Reads the locale's currency code now, stores it and returns it.
  std::optional<std::string> currencyCode();
  // Reads the locale's currency symbol now, stores it and returns it.
  std::optional<std::string> currencySymbol();
  // The user agent of the core's variables (not this store's entry).
  std::optional<std::string> userAgent();
  // Always empty: the orientation of a screen is not tracked.
  std::string orientation() { return std::string(); }

  // --- Clock and random numbers ---
  uint64_t now();
  uint64_t nowMs();
  std::string nowString();
  std::string nowMsString();
  int32_t randomInt();
  std::string randomString();

  // --- Properties (each read or written under the registry's mutex) ---
  QXTimeState timeState() const;
  bool isBackground() const;
  void setIsBackground(bool value);
  int32_t totalForegroundTransitions() const;
  void setTotalForegroundTransitions(int32_t value);
  uint64_t totalForegroundTime() const;
  void setTotalForegroundTime(uint64_t value);
  uint64_t deltaForeground() const;
  void setDeltaForeground(uint64_t value);
  uint64_t totalBackgroundTime() const;
  void setTotalBackgroundTime(uint64_t value);
  uint64_t deltaBackground() const;
  void setDeltaBackground(uint64_t value);
  uint64_t lastTime() const;
  void setLastTime(uint64_t value);
  uint64_t startUsage() const;
  void setStartUsage(uint64_t value);
  uint64_t visitDuration() const;
  void setVisitDuration(uint64_t value);
  std::string pid() const;
  void setPid(std::string value);
  QXEventListener* listenerDelegate() const;

 private:
  QXPlatform& platform() const;
  void registerForTransitions();
  // init()'s work once the registry is marked initialised.
  void initialise();
  void refreshForHitLocked();         // with mutex_ held
  QXTimeAccounting timeAccounting();  // with mutex_ held

  QXDynamicStore dynamicStore_;  // thread-safe on its own

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  QXTimeState time_;
  std::string pid_;
  std::unique_ptr<QXEventListener> listenerDelegate_;
};

#endif  // QUORVEX_QXSDK_QXPREDEFINEDVARIABLES_H_

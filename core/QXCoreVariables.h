#ifndef QUORVEX_CORE_QXCOREVARIABLES_H_
#define QUORVEX_CORE_QXCOREVARIABLES_H_

#include <atomic>
#include <optional>
#include <string>

#include "core/QXDynamicStore.h"
#include "core/QXSingleton.h"
#include "platform/QXExport.h"

// The variables that the core itself knows: its user agent from the start,
// the device identifiers once setIDFV() has run. The SDK merges this store
// into its predefined variables. Thread-safe.
class QX_EXPORT QXCoreVariables : public QXSingleton<QXCoreVariables> {
 public:
  // The store of the core's variables.
  QXDynamicStore& dynamicStore() { return dynamicStore_; }
  // The value of one of them, or nullopt.
  std::optional<std::string> getData(const std::string& key) const {
    return dynamicStore_.getData(key);
  }

  // Puts the device identifiers into the store: the vendor identifier
  // (kQXCoreVariable_IDFV: a UUID kept in the user defaults, made once per
  // application data) and the advertising identifier
  // (kQXPredefinedVariable_IDFA), which this platform does not offer and
  // which therefore reads as the all-zero UUID, as it does where the user has
  // limited ad tracking.
  void setIDFV();

  // The process-wide switch "also deliver while in background".
  void setEnableSDKInBG(bool enabled) { enableSDKInBG_.store(enabled); }
  // Whether setEnableSDKInBG(true) has been called.
  bool enableSDKInBG() const { return enableSDKInBG_.load(); }

  // The User-Agent the core announces: the application's name and version
  // when it has them, then "Quorvex/<core version> (<system> <version>;
  // <machine>)".
  static std::string userAgentText();

 private:
  friend class QXSingleton<QXCoreVariables>;
  QXCoreVariables() = default;
  QXCoreVariables* init();

  QXDynamicStore dynamicStore_;
  std::atomic<bool> enableSDKInBG_{false};
};

#endif  // QUORVEX_CORE_QXCOREVARIABLES_H_

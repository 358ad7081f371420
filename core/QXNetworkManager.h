#ifndef QUORVEX_CORE_QXNETWORKMANAGER_H_
#define QUORVEX_CORE_QXNETWORKMANAGER_H_

#include <atomic>

#include "core/QXSingleton.h"

// The core's delivery of requests. Created once per process by the core's
// initialisation.
//
// Background: while the application is in background, requests wait until it
// comes back to foreground, unless enableRunningInBackground() has been
// called; from then on, for the rest of the process, they also go out in
// background. Nothing switches it off again.
class QXNetworkManager : public QXSingleton<QXNetworkManager> {
 public:
  void enableRunningInBackground() { runInBackground_.store(true); }
  bool isRunningInBackgroundEnabled() const { return runInBackground_.load(); }

 private:
  friend class QXSingleton<QXNetworkManager>;
  QXNetworkManager() = default;
  QXNetworkManager* init() {
    initSingleton();
    return this;
  }

  std::atomic<bool> runInBackground_{false};
};

#endif  // QUORVEX_CORE_QXNETWORKMANAGER_H_

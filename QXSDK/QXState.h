#ifndef QUORVEX_QXSDK_QXSTATE_H_
#define QUORVEX_QXSDK_QXSTATE_H_

#include <memory>
#include <mutex>

#include "core/IQXEventSenderDelegate.h"
#include "core/QXEventSender.h"
#include "core/QXSingleton.h"
#include "platform/QXNotificationCenter.h"

// The application-state singleton: turns the platform's background and
// foreground notifications into the core's kQXNotification_OnBackground and
// kQXNotification_OnForeground, posted through its own sender with this
// object as sender and no user information, on the thread that posted the
// platform's notification. Created by the first tracker, before the
// predefined-variable registry; never destroyed. Thread-safe.
class QXState : public QXSingleton<QXState>, public IQXEventSenderDelegate {
 public:
  QXState();
  virtual ~QXState();

  // The guarded initialisation: a new sender and the two observations.
  QXState* init();
  QXState* reinit();

  void changeNotificationCenter(std::shared_ptr<QXNotificationCenter> center) override;
  void applicationDidEnterBackground(const QXNotification& notification);
  void applicationWillEnterForeground(const QXNotification& notification);
  // Called before the core's notification is posted; nothing happens here.
  virtual void didEnterBackground(const void* object);
  virtual void willEnterForeground(const void* object);
  // The current date, in seconds since 1970.
  double date() const;

  std::shared_ptr<QXEventSender> senderDelegate() const;
  void setSenderDelegate(std::shared_ptr<QXEventSender> sender);

 private:
  void observeTransitions();
  void post(const char* name);

  mutable std::mutex mutex_;
  // Shared so that a transition being posted keeps its sender while another
  // thread replaces it. Guarded by mutex_.
  std::shared_ptr<QXEventSender> senderDelegate_;
};

#endif  // QUORVEX_QXSDK_QXSTATE_H_

#ifndef QUORVEX_CORE_QXEVENTLISTENER_H_
#define QUORVEX_CORE_QXEVENTLISTENER_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/IQXEventListenerDelegate.h"
#include "platform/QXExport.h"
#include "platform/QXNotificationCenter.h"

// Observes notification names on a center (the default center until
// setNotificationCenter() names another) and hands each notification to its
// parent's onNotificationReceived(), on the posting thread.
//
// Lifetime: destroying the listener ends its observations and waits for a
// delivery under way on another thread, so once the destructor has returned
// the parent is never called again. An owner therefore destroys its listener
// first in its own destructor. Thread-safe.
class QX_EXPORT QXEventListener {
 public:
  QXEventListener();
  ~QXEventListener();
  QXEventListener(const QXEventListener&) = delete;
  QXEventListener& operator=(const QXEventListener&) = delete;

  // The object told of each notification; null: nobody is told.
  void setParent(IQXEventListenerDelegate* parent) { parent_.store(parent); }
  // The object told of each notification.
  IQXEventListenerDelegate* parent() const { return parent_.load(); }

  // Moves every observation to `center`: from the moment this returns, only
  // `center` delivers to this listener.
  void setNotificationCenter(std::shared_ptr<QXNotificationCenter> center);
  // The center observed.
  std::shared_ptr<QXNotificationCenter> notificationCenter() const;

  // Observes the notifications named `name`, from now on.
  void listen(const std::string& name);

 private:
  void observe(QXNotificationCenter& center, const std::string& name);

  std::atomic<IQXEventListenerDelegate*> parent_{nullptr};
  mutable std::mutex mutex_;
  std::shared_ptr<QXNotificationCenter> center_;  // guarded by mutex_
  std::vector<std::string> names_;                // guarded by mutex_
};

#endif  // QUORVEX_CORE_QXEVENTLISTENER_H_

#ifndef QUORVEX_CORE_QXEVENTSENDER_H_
#define QUORVEX_CORE_QXEVENTSENDER_H_

#include <memory>
#include <mutex>

#include "core/IQXEventSenderDelegate.h"
#include "platform/QXExport.h"
#include "platform/QXNotificationCenter.h"

// Posts its owner's notifications on a center: the default center until
// setNotificationCenter() names another. send() posts synchronously on the
// calling thread. Thread-safe; the sender keeps its center alive.
class QX_EXPORT QXEventSender {
 public:
  QXEventSender();

  // The owner, for the owner's own book-keeping; never called back here.
  void setParent(IQXEventSenderDelegate* parent) { parent_ = parent; }
  // The owner set with setParent().
  IQXEventSenderDelegate* parent() const { return parent_; }

  // Posts later notifications on `center`.
  void setNotificationCenter(std::shared_ptr<QXNotificationCenter> center);
  // The center that send() posts on.
  std::shared_ptr<QXNotificationCenter> notificationCenter() const;

  // Posts `notification` on the center, on this thread; returns once every
  // observer has been told.
  void send(const QXNotification& notification) const;

 private:
  IQXEventSenderDelegate* parent_ = nullptr;
  mutable std::mutex mutex_;
  std::shared_ptr<QXNotificationCenter> center_;  // guarded by mutex_
};

#endif  // QUORVEX_CORE_QXEVENTSENDER_H_

#ifndef QUORVEX_CORE_IQXEVENTLISTENERDELEGATE_H_
#define QUORVEX_CORE_IQXEVENTLISTENERDELEGATE_H_

#include <memory>

#include "platform/QXExport.h"
#include "platform/QXNotificationCenter.h"

// The owner of a QXEventListener. onNotificationReceived() runs on the thread
// that posted the notification, possibly several at once.
class QX_EXPORT IQXEventListenerDelegate {
 public:
  virtual ~IQXEventListenerDelegate() = default;
  // Moves the owner's listening to `center`.
  virtual void changeNotificationCenter(std::shared_ptr<QXNotificationCenter> center) = 0;
  // A notification that the owner's listener listens to has been posted.
  virtual void onNotificationReceived(const QXNotification& notification) = 0;
};

#endif  // QUORVEX_CORE_IQXEVENTLISTENERDELEGATE_H_

#ifndef QUORVEX_CORE_IQXEVENTSENDERDELEGATE_H_
#define QUORVEX_CORE_IQXEVENTSENDERDELEGATE_H_

#include <memory>

#include "platform/QXExport.h"
#include "platform/QXNotificationCenter.h"

// The owner of a QXEventSender.
class QX_EXPORT IQXEventSenderDelegate {
 public:
  virtual ~IQXEventSenderDelegate() = default;
  // Makes the owner's sender post on `center` from now on.
  virtual void changeNotificationCenter(std::shared_ptr<QXNotificationCenter> center) = 0;
};

#endif  // QUORVEX_CORE_IQXEVENTSENDERDELEGATE_H_

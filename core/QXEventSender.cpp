#include "core/QXEventSender.h"

QXEventSender::QXEventSender() : center_(QXNotificationCenter::defaultCenter()) {}

void QXEventSender::setNotificationCenter(std::shared_ptr<QXNotificationCenter> center) {
  if (!center) return;
  std::lock_guard<std::mutex> lock(mutex_);
  center_ = std::move(center);
}

std::shared_ptr<QXNotificationCenter> QXEventSender::notificationCenter() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return center_;
}

void QXEventSender::send(const QXNotification& notification) const {
  notificationCenter()->postNotification(notification);
}

#include "core/QXEventListener.h"

QXEventListener::QXEventListener() : center_(QXNotificationCenter::defaultCenter()) {}

QXEventListener::~QXEventListener() {
  std::shared_ptr<QXNotificationCenter> center;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    center = center_;
  }
  // Not under mutex_: this waits for deliveries in flight, which must be
  // free to finish whatever the parent does in them.
  center->removeObserver(this);
}

void QXEventListener::observe(QXNotificationCenter& center, const std::string& name) {
  center.addObserver(this, name, [this](const QXNotification& notification) {
    if (IQXEventListenerDelegate* parent = parent_.load()) {
      parent->onNotificationReceived(notification);
    }
  });
}

void QXEventListener::setNotificationCenter(std::shared_ptr<QXNotificationCenter> center) {
  if (!center) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (center == center_) return;
  center_->removeObserver(this);
  center_ = std::move(center);
  for (const auto& name : names_)
    observe(*center_, name);
}

std::shared_ptr<QXNotificationCenter> QXEventListener::notificationCenter() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return center_;
}

void QXEventListener::listen(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  names_.push_back(name);
  observe(*center_, name);
}

#include "QXSDK/QXState.h"

#include <atomic>
#include <thread>

#include "core/QXCoreConstants.h"
#include "platform/QXApplication.h"
#include "platform/QXPlatform.h"

namespace {

// This class's own initialisation state: 0 never initialised, 1 under way,
// 2 initialised, 3 a re-initialisation asked for.
std::atomic<int> QX_INIT_STATE{0};

}  // namespace

QXState::QXState() = default;

QXState::~QXState() {
  QXNotificationCenter::defaultCenter()->removeObserver(this);
}

QXState* QXState::init() {
  for (;;) {
    int state = QX_INIT_STATE.load(std::memory_order_acquire);
    if (state == 2) return this;
    if (state == 1) {
      while (QX_INIT_STATE.load(std::memory_order_acquire) == 1)
        std::this_thread::yield();
      return this;
    }
    if (QX_INIT_STATE.compare_exchange_weak(state, 1, std::memory_order_acq_rel)) break;
  }
  if (!initSingleton()) {
    QX_INIT_STATE.store(0, std::memory_order_release);  // a later init may try again
    return nullptr;
  }
  auto sender = std::make_shared<QXEventSender>();
  sender->setParent(this);
  setSenderDelegate(std::move(sender));

  // A re-initialisation observes again; the earlier observations go first so
  // that one transition is never posted twice.
  auto center = QXNotificationCenter::defaultCenter();
  center->removeObserver(this);
  center->addObserver(this, UIApplicationDidEnterBackgroundNotification,
                      [this](const QXNotification& n) { applicationDidEnterBackground(n); });
  center->addObserver(this, UIApplicationWillEnterForegroundNotification,
                      [this](const QXNotification& n) { applicationWillEnterForeground(n); });
  QX_INIT_STATE.store(2, std::memory_order_release);
  return this;
}

QXState* QXState::reinit() {
  QX_INIT_STATE.store(3, std::memory_order_release);
  return init();
}

void QXState::changeNotificationCenter(std::shared_ptr<QXNotificationCenter> center) {
  senderDelegate()->setNotificationCenter(std::move(center));
}

void QXState::applicationDidEnterBackground(const QXNotification& notification) {
  didEnterBackground(notification.object);
  post(kQXNotification_OnBackground);
}

void QXState::applicationWillEnterForeground(const QXNotification& notification) {
  willEnterForeground(notification.object);
  post(kQXNotification_OnForeground);
}

void QXState::didEnterBackground(const void*) {}

void QXState::willEnterForeground(const void*) {}

double QXState::date() const {
  return QXPlatform::current().secondsSince1970();
}

void QXState::post(const char* name) {
  senderDelegate()->send(QXNotification::notificationWithName(name, this));
}

std::shared_ptr<QXEventSender> QXState::senderDelegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return senderDelegate_;
}

void QXState::setSenderDelegate(std::shared_ptr<QXEventSender> sender) {
  std::lock_guard<std::mutex> lock(mutex_);
  senderDelegate_ = std::move(sender);
}

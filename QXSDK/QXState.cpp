#include "QXSDK/QXState.h"

#include "core/QXCoreConstants.h"
#include "core/QXInitState.h"
#include "platform/QXApplication.h"
#include "platform/QXPlatform.h"

namespace {

// This class's own initialisation state (the registry has another).
QXInitState QX_INIT_STATE;

}  // namespace

QXState::QXState() = default;

QXState::~QXState() {
  QXNotificationCenter::defaultCenter()->removeObserver(this);
}

QXState* QXState::init() {
  if (!QX_INIT_STATE.begin()) return this;
  if (!initSingleton()) {
    QX_INIT_STATE.markFailed();
    return nullptr;
  }
  try {
    auto sender = std::make_shared<QXEventSender>();
    sender->setParent(this);
    setSenderDelegate(std::move(sender));
    observeTransitions();
  } catch (...) {
    // A later init() tries again rather than waiting for this one for good.
    QX_INIT_STATE.markFailed();
    throw;
  }
  QX_INIT_STATE.markInitialised();
  return this;
}

void QXState::observeTransitions() {
  // A re-initialisation observes again; the earlier observations go first so
  // that one transition is never posted twice.
  auto center = QXNotificationCenter::defaultCenter();
  center->removeObserver(this);
  center->addObserver(this, UIApplicationDidEnterBackgroundNotification,
                      [this](const QXNotification& n) { applicationDidEnterBackground(n); });
  center->addObserver(this, UIApplicationWillEnterForegroundNotification,
                      [this](const QXNotification& n) { applicationWillEnterForeground(n); });
}

QXState* QXState::reinit() {
  QX_INIT_STATE.requestReinit();
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

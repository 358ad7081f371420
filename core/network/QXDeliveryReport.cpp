#include "core/network/QXDeliveryReport.h"

#include <string>

#include "core/QXGuard.h"
#include "core/QXLogger.h"

void QXDeliveryReport::setCallback(Callback callback) {
  auto shared = callback ? std::make_shared<const Callback>(std::move(callback)) : nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  callback_ = std::move(shared);
}

QXDeliveryReport::Callback QXDeliveryReport::callback() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return callback_ ? *callback_ : Callback();
}

void QXDeliveryReport::tell(const std::vector<QXHitOutcome>& outcomes) noexcept {
  if (outcomes.empty()) return;
  std::shared_ptr<const Callback> callback;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    callback = callback_;
  }
  if (!callback) return;
  for (const QXHitOutcome& outcome : outcomes) {
    try {
      (*callback)(outcome);
    } catch (...) {
      callbackThrew(QXCurrentExceptionText());
    }
  }
}

QXDeliveryCounters QXDeliveryReport::counters() const {
  QXDeliveryCounters counters;
  counters.queued = queued_.load(std::memory_order_relaxed);
  counters.sent = sent_.load(std::memory_order_relaxed);
  counters.retried = retried_.load(std::memory_order_relaxed);
  counters.dropped = dropped_.load(std::memory_order_relaxed);
  return counters;
}

void QXDeliveryReport::callbackThrew(const char* what) noexcept {
  if (callbackThrewBefore_.exchange(true)) return;
  try {
    QXLogger::sharedInstance().logMessage(std::string("The delivery outcome callback threw (") +
                                              what + "); what it throws is ignored from now on",
                                          4);
  } catch (...) {
  }
}

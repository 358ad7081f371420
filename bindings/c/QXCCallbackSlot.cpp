#include "bindings/c/QXCCallbackSlot.h"

namespace {

// The innermost call this thread is inside, of any slot.
thread_local const void* tInnermostCall = nullptr;

}  // namespace

QXCCallbackSlot::Call::Call(QXCCallbackSlot& slot)
    : slot_(slot), outer_(static_cast<const Call*>(tInnermostCall)) {
  {
    std::lock_guard<std::mutex> lock(slot_.mutex_);
    callback_ = slot_.callback_;
    epoch_ = slot_.epoch_;
    ++slot_.calls_[epoch_];
  }
  tInnermostCall = this;
}

QXCCallbackSlot::Call::~Call() {
  tInnermostCall = outer_;
  std::lock_guard<std::mutex> lock(slot_.mutex_);
  if (--slot_.calls_[epoch_] == 0) slot_.drained_.notify_all();
}

bool QXCCallbackSlot::Call::isInside(const QXCCallbackSlot& slot) {
  for (auto* call = static_cast<const Call*>(tInnermostCall); call != nullptr;
       call = call->outer_) {
    if (&call->slot_ == &slot) return true;
  }
  return false;
}

void QXCCallbackSlot::set(Callback callback) {
  if (Call::isInside(*this)) {
    std::lock_guard<std::mutex> lock(mutex_);
    callback_ = callback;
    return;
  }
  std::lock_guard<std::mutex> replacing(replaceMutex_);
  std::unique_lock<std::mutex> lock(mutex_);
  callback_ = callback;
  const unsigned old = epoch_;
  epoch_ ^= 1;
  drained_.wait(lock, [&] { return calls_[old] == 0; });
}

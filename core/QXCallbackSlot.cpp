#include "core/QXCallbackSlot.h"

namespace {

// The innermost call this thread is inside, of any slot.
thread_local const void* tInnermostFrame = nullptr;

}  // namespace

QXCallbackSlotBase::Frame::Frame(QXCallbackSlotBase& slot) noexcept
    : slot_(slot), outer_(static_cast<const Frame*>(tInnermostFrame)) {
  tInnermostFrame = this;
}

QXCallbackSlotBase::Frame::~Frame() {
  tInnermostFrame = outer_;
  if (!counted_) return;
  std::lock_guard<std::mutex> lock(slot_.mutex_);
  if (--slot_.calls_[epoch_] == 0) slot_.drained_.notify_all();
}

void QXCallbackSlotBase::Frame::countLocked() noexcept {
  epoch_ = slot_.epoch_;
  ++slot_.calls_[epoch_];
  counted_ = true;
}

bool QXCallbackSlotBase::isCalling() const noexcept {
  for (auto* frame = static_cast<const Frame*>(tInnermostFrame); frame != nullptr;
       frame = frame->outer_) {
    if (&frame->slot_ == this) return true;
  }
  return false;
}

QXCallbackSlotBase::Replacement::Replacement(QXCallbackSlotBase& slot)
    : slot_(slot), inside_(slot.isCalling()) {
  if (!inside_) replacing_ = std::unique_lock<std::mutex>(slot_.replaceMutex_);
}

void QXCallbackSlotBase::Replacement::switchEpochLocked() noexcept {
  if (inside_) return;
  old_ = slot_.epoch_;
  slot_.epoch_ ^= 1U;
}

void QXCallbackSlotBase::Replacement::wait() {
  if (inside_) return;
  std::unique_lock<std::mutex> lock(slot_.mutex_);
  slot_.drained_.wait(lock, [this] { return slot_.calls_[old_] == 0; });
}

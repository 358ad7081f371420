#ifndef QUORVEX_CORE_QXCALLBACKSLOT_H_
#define QUORVEX_CORE_QXCALLBACKSLOT_H_

// Private to the SDK: never included by a public header.
//
// A host's callback that the SDK's threads call while the host may replace
// it at any moment, and a replacement that returns only once every call of
// the callback it replaced has returned: the host may then free what its
// callback uses (a language runtime that goes away, an interpreter at exit,
// relies on the same promise). The log sink, the delivery's outcome callback
// and the C API's callbacks (through them) are held in one.
//
// Calls are counted in one of two epochs. A replacement switches new calls
// to the other epoch and waits until the old one has no call left;
// replacements run one at a time, so when none runs the other epoch is
// empty. A replacement made from inside a call of the same slot on the same
// thread does not wait (it would wait for itself): it only installs the new
// callback. isCalling() tells a caller that it is inside such a call, so
// that an operation that would wait for the callback's return can refuse.
//
// Callback: a value copied under the slot's mutex at each call, so cheap to
// copy (a shared_ptr to a std::function, say) and testable as a bool, empty
// meaning no callback. Each call runs on its own copy, so a replacement from
// inside a call never destroys the callback running. A replaced callback is
// destroyed by its replacement, after the wait and outside the slot's locks.
//
// Threads: every member from any thread. A call never waits for a
// replacement; a replacement waits for the calls of the callback it
// replaced, so that callback must not wait for the replacing thread.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>

class QXCallbackSlotBase {
 public:
  QXCallbackSlotBase() = default;
  QXCallbackSlotBase(const QXCallbackSlotBase&) = delete;
  QXCallbackSlotBase& operator=(const QXCallbackSlotBase&) = delete;

  // Whether this thread is inside a call of this slot.
  bool isCalling() const noexcept;

  // Fork handlers: the slot's mutex is held across fork(), so that the
  // child finds it free.
  void lockForFork() { mutex_.lock(); }
  void unlockAfterFork() { mutex_.unlock(); }

 protected:
  // One call in progress on this thread: linked into the thread's list of
  // the calls it is inside from construction, counted from countLocked() to
  // destruction.
  class Frame {
   public:
    explicit Frame(QXCallbackSlotBase& slot) noexcept;
    ~Frame();
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    // With the slot's mutex held.
    void countLocked() noexcept;

   private:
    friend class QXCallbackSlotBase;
    QXCallbackSlotBase& slot_;
    const Frame* outer_;
    unsigned epoch_ = 0;
    bool counted_ = false;
  };

  // The replacement in progress: from construction, the only one (unless
  // made from inside a call of the slot); switchEpochLocked() with the
  // slot's mutex held, at the moment the callback changes; then wait().
  class Replacement {
   public:
    explicit Replacement(QXCallbackSlotBase& slot);
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;
    void switchEpochLocked() noexcept;
    // Returns once the epoch left behind has no call left.
    void wait();

   private:
    QXCallbackSlotBase& slot_;
    const bool inside_;
    std::unique_lock<std::mutex> replacing_;
    unsigned old_ = 0;
  };

  std::mutex mutex_;

 private:
  std::mutex replaceMutex_;  // held by the replacement in progress
  std::condition_variable drained_;
  // Guarded by mutex_.
  unsigned epoch_ = 0;
  size_t calls_[2] = {0, 0};
};

template <typename Callback>
class QXCallbackSlot : public QXCallbackSlotBase {
 public:
  // Installs `callback` (an empty one removes it) and returns once every
  // call of the callbacks it replaced has returned, except from inside a
  // call of this slot. What copying the callback throws goes to the caller,
  // the callback in place kept.
  void set(Callback callback) {
    Replacement replacement(*this);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::swap(callback_, callback);
      replacement.switchEpochLocked();
    }
    replacement.wait();
  }

  // The callback in place, with the slot's mutex held (lockForFork()).
  Callback currentLocked() const { return callback_; }

  // Runs invoke(callback) with the callback in place, counted as a call;
  // false (and nothing run) when there is none. What invoke throws goes to
  // the caller, the call uncounted.
  template <typename Invoke>
  bool call(Invoke&& invoke) {
    Frame frame(*this);
    Callback callback;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      callback = callback_;
      frame.countLocked();
    }
    // The copy goes before the frame: the host's callback is done with,
    // destructor included, before a replacement waiting for it returns.
    if (!callback) return false;
    std::forward<Invoke>(invoke)(callback);
    return true;
  }

 private:
  Callback callback_{};  // guarded by mutex_
};

#endif  // QUORVEX_CORE_QXCALLBACKSLOT_H_

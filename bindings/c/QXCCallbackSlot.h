#ifndef QUORVEX_BINDINGS_C_QXCCALLBACKSLOT_H_
#define QUORVEX_BINDINGS_C_QXCCALLBACKSLOT_H_

// A C callback (function pointer and user data) that the SDK's threads call
// while the host may replace it at any moment, and a replacement that
// returns only once the callback it replaced has finished everywhere: the
// host may then free what its user data points to. A language runtime that
// goes away (an interpreter at exit) relies on the same promise.
//
// Calls are counted in one of two epochs. A replacement switches new calls
// to the other epoch and waits until the old one has no call left;
// replacements run one at a time, so when none runs the other epoch is
// empty. A replacement made from inside a call of the same slot does not
// wait (it would wait for itself): it only installs the new callback.
//
// Threads: every member from any thread. A call never waits for a
// replacement; a replacement waits for the calls of the callback it
// replaced, so that callback must not wait for the replacing thread.

#include <condition_variable>
#include <cstddef>
#include <mutex>

class QXCCallbackSlot {
 public:
  // Any function pointer type, cast back by the caller of call().
  using Function = void (*)();
  struct Callback {
    Function function = nullptr;
    void* userData = nullptr;
  };

  QXCCallbackSlot() = default;
  QXCCallbackSlot(const QXCCallbackSlot&) = delete;
  QXCCallbackSlot& operator=(const QXCCallbackSlot&) = delete;

  void set(Callback callback);

  // Runs invoke(callback) with the callback in place, counted as a call;
  // false (and nothing run) when there is none. What invoke throws goes to
  // the caller, the call uncounted.
  template <typename Invoke>
  bool call(Invoke&& invoke) {
    const Call call(*this);
    if (call.callback().function == nullptr) return false;
    invoke(call.callback());
    return true;
  }

 private:
  // One call in progress: counted from construction to destruction, and
  // linked into its thread's list of the calls it is inside.
  class Call {
   public:
    explicit Call(QXCCallbackSlot& slot);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    const Callback& callback() const { return callback_; }
    static bool isInside(const QXCCallbackSlot& slot);

   private:
    QXCCallbackSlot& slot_;
    Callback callback_;
    unsigned epoch_;
    const Call* outer_;
  };

  std::mutex replaceMutex_;  // held by the replacement in progress
  std::mutex mutex_;
  std::condition_variable drained_;
  // Guarded by mutex_.
  Callback callback_;
  unsigned epoch_ = 0;
  size_t calls_[2] = {0, 0};
};

#endif  // QUORVEX_BINDINGS_C_QXCCALLBACKSLOT_H_

#ifndef QUORVEX_CORE_QXINITSTATE_H_
#define QUORVEX_CORE_QXINITSTATE_H_

#include <atomic>
#include <thread>

// The initialisation state of a singleton class, shared by every object of
// the class: 0 never initialised, 1 an initialisation under way, 2
// initialised, 3 a re-initialisation asked for. Atomic, so that an init()
// waiting on another thread sees the write of 2.
class QXInitState {
 public:
  enum : int { kNever = 0, kUnderWay = 1, kInitialised = 2, kReinitRequested = 3 };

  // True when the caller is to run the initialisation (the state was 0 or 3
  // and is now 1). False when the class is initialised, after waiting for an
  // initialisation under way on another thread to mark it so.
  bool begin() {
    for (;;) {
      int state = state_.load(std::memory_order_acquire);
      if (state == kInitialised) return false;
      if (state == kUnderWay) {
        while (state_.load(std::memory_order_acquire) == kUnderWay)
          std::this_thread::yield();
        return false;
      }
      if (state_.compare_exchange_weak(state, kUnderWay, std::memory_order_acq_rel)) return true;
    }
  }
  void markInitialised() { state_.store(kInitialised, std::memory_order_release); }
  // After a failed initialisation: a later one may try again instead of
  // waiting for good.
  void markFailed() { state_.store(kNever, std::memory_order_release); }
  void requestReinit() { state_.store(kReinitRequested, std::memory_order_release); }
  int load() const { return state_.load(std::memory_order_acquire); }

 private:
  std::atomic<int> state_{kNever};
};

#endif  // QUORVEX_CORE_QXINITSTATE_H_

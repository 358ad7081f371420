#ifndef QUORVEX_TESTS_SUPPORT_ALLOCATIONFAILURE_H_
#define QUORVEX_TESTS_SUPPORT_ALLOCATIONFAILURE_H_

// Allocation failure on demand, for the programs that test what the SDK does
// when memory runs out. Including this header replaces the program's global
// operator new: include it in exactly one file of a test program, and only
// in programs of their own.
#include <cstdlib>
#include <new>

namespace qxtest {

// Makes the n-th allocation from now throw std::bad_alloc, once or from then
// on. Only allocations of the thread that armed it count and fail, so that
// threads the test does not drive go on undisturbed.
class AllocationFailure {
 public:
  // The allocation `n` allocations from now throws; with `keepFailing`
  // every one after it too, until disarm().
  static void armAfter(long n, bool keepFailing) {
    failures_ = 0;
    keepFailing_ = keepFailing;
    countdown_ = n;
  }
  static void disarm() { countdown_ = -1; }
  static int failures() { return failures_; }

  // Allocations succeed while one is alive, and do not count: for the test's
  // own book-keeping in the middle of an armed run.
  class Pause {
   public:
    Pause() { ++paused_; }
    ~Pause() { --paused_; }
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;
  };

  static bool shouldFail() {
    if (paused_ > 0 || countdown_ < 0) return false;
    if (countdown_ > 0) {
      --countdown_;
      return false;
    }
    if (!keepFailing_) countdown_ = -1;
    ++failures_;
    return true;
  }

 private:
  static inline thread_local long countdown_ = -1;
  static inline thread_local bool keepFailing_ = false;
  static inline thread_local int failures_ = 0;
  static inline thread_local int paused_ = 0;
};

}  // namespace qxtest

// The replacements pair malloc with free by design; GCC sees a new paired
// with free once they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  if (qxtest::AllocationFailure::shouldFail()) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return ::operator new(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

#endif  // QUORVEX_TESTS_SUPPORT_ALLOCATIONFAILURE_H_

#ifndef QUORVEX_CORE_QXGUARD_H_
#define QUORVEX_CORE_QXGUARD_H_

#include <utility>

// The boundary of the SDK's operations. Nothing an operation meets on its way
// (memory running out, a system call's error, a throwing platform) may reach
// the host: the operation is abandoned where it stands, said once at level 4
// and returns `fallback`. Whatever it could not finish is dropped; callers
// that must count what was dropped (a hit) catch for themselves first.
//
// The level-4 line names the operation and the exception; when even that
// line cannot be built, nothing is written.
// Called from a catch block.
void QXReportAbandoned(const char* operation) noexcept;

// What the exception being handled says; valid until its catch block ends.
// Called from a catch block.
const char* QXCurrentExceptionText() noexcept;

template <typename Body>
void QXGuarded(const char* operation, Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
    QXReportAbandoned(operation);
  }
}

template <typename Result, typename Body>
Result QXGuarded(const char* operation, Result fallback, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    QXReportAbandoned(operation);
    return fallback;
  }
}

#endif  // QUORVEX_CORE_QXGUARD_H_

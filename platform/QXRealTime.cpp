#include "platform/QXRealTime.h"

#include <limits>

int64_t QXNanosecondsSince1970(const timespec& time) {
  constexpr int64_t kPerSecond = 1000000000;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  // tv_nsec is within [0, 1e9) for a time the C library gives.
  const auto seconds = static_cast<int64_t>(time.tv_sec);
  const auto nanoseconds = static_cast<int64_t>(time.tv_nsec);
  if (seconds > (kMax - nanoseconds) / kPerSecond) return kMax;
  if (seconds < kMin / kPerSecond) return kMin;
  return seconds * kPerSecond + nanoseconds;
}

int64_t QXRealTimeNanoseconds() {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
  return QXNanosecondsSince1970(now);
}

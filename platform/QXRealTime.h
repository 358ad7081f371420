#ifndef QUORVEX_PLATFORM_QXREALTIME_H_
#define QUORVEX_PLATFORM_QXREALTIME_H_

#include <cstdint>
#include <ctime>

// The machine's real-time clock as the SDK reads it: nanoseconds since 1970
// (UTC) in 64 bits, right until the year 2262.
//
// Read with clock_gettime and the SDK's own time_t, which has 64 bits on
// every target (a 32-bit one builds the SDK with _TIME_BITS=64), and not
// with std::chrono::system_clock: a C++ library built with a 32-bit time_t
// (Debian 12's armhf) reads the clock through it, and its system_clock goes
// back to 1901 on 19 January 2038. Thread-safe; a clock that cannot be read
// reads 0.
int64_t QXRealTimeNanoseconds();

// A time of the C library in nanoseconds since 1970, held at the int64_t
// limits past them.
int64_t QXNanosecondsSince1970(const timespec& time);

#endif  // QUORVEX_PLATFORM_QXREALTIME_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <limits>

#include "platform/QXLinuxPlatform.h"
#include "platform/QXRealTime.h"

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// A time as the C library holds it: where its time_t has 32 bits, seconds
// past 2038 wrap here as they would there.
timespec at(int64_t seconds, long nanoseconds) {
  timespec time{};
  time.tv_sec = static_cast<time_t>(seconds);
  time.tv_nsec = nanoseconds;
  return time;
}

TEST(RealTime, TheSDKIsBuiltWithSixtyFourBitTimesAndFileOffsets) {
  // 32 bits on a 32-bit target built without _TIME_BITS=64 and
  // _FILE_OFFSET_BITS=64: its dates would wrap in 2038, its files end at 2 GiB.
  EXPECT_EQ(sizeof(time_t), 8u);
  EXPECT_EQ(sizeof(off_t), 8u);
}

TEST(RealTime, TimesBecomeNanosecondsPast2038AndAreHeldAtTheLimits) {
  struct Case {
    int64_t seconds;
    long nanoseconds;
    int64_t expected;
  };
  const Case cases[] = {{0, 0, 0},
                        {-1, 500000000, -500000000},
                        {1796680238, 615000000, 1796680238615000000},
                        // The last second of a 32-bit time_t, and the first past it.
                        {2147483647, 999999999, 2147483647999999999},
                        {2147483648, 0, 2147483648000000000},
                        {4102444800, 1, 4102444800000000001},  // 2100
                        // In April 2262 nanoseconds leave 64 bits.
                        {9223372036, 854775807, kMax},
                        {9223372036, 854775808, kMax},
                        {9223372037, 0, kMax},
                        {kMax, 999999999, kMax},
                        {-9223372036, 0, -9223372036000000000},
                        {-9223372037, 0, kMin},
                        {kMin, 0, kMin}};
  for (const Case& c : cases) {
    EXPECT_EQ(QXNanosecondsSince1970(at(c.seconds, c.nanoseconds)), c.expected)
        << c.seconds << " s " << c.nanoseconds << " ns";
  }
}

TEST(RealTime, TheLinuxPlatformsClockIsTheKernelsRealTimeClock) {
  QXLinuxPlatform platform;
  timespec before{};
  timespec after{};
  ::clock_gettime(CLOCK_REALTIME, &before);
  const double seconds = platform.secondsSince1970();
  ::clock_gettime(CLOCK_REALTIME, &after);
  // A double holds today's seconds to a fraction of a microsecond.
  EXPECT_GE(seconds * 1e9, static_cast<double>(QXNanosecondsSince1970(before)) - 1000);
  EXPECT_LE(seconds * 1e9, static_cast<double>(QXNanosecondsSince1970(after)) + 1000);
}

}  // namespace

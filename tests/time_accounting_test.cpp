#include <gtest/gtest.h>

#include <string>

#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/predefined/QXTimeAccounting.h"
#include "core/QXDynamicStore.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"

namespace {

constexpr uint64_t kStartMs = 1700000000000;

// One process of the application: its own time fields and store over the
// platform's persisted defaults, which outlive it.
struct Process {
  explicit Process(QXFakePlatform& platform) : platform(platform) {
    state.lastTime = static_cast<uint64_t>(platform.secondsSince1970() * 1000.0);
    // What the visit steps would have written at this launch.
    store.addData(kQXPredefinedVariable_CurrentVisit, std::to_string(state.lastTime / 1000));
  }
  QXTimeAccounting accounting() { return QXTimeAccounting(state, store, platform); }
  std::string get(const char* key) { return store.getData(key).value_or("<absent>"); }
  uint64_t number(const char* key) { return std::stoull(get(key)); }

  QXFakePlatform& platform;
  QXTimeState state;
  QXDynamicStore store;
};

class TimeAccountingTest : public ::testing::Test {
 protected:
  std::string label(const char* name) {
    return platform.standardUserDefaults()->objectForKey(name).value_or("<absent>");
  }
  QXFakePlatform platform;
};

TEST_F(TimeAccountingTest, HitsCountForegroundTimeInTotalAndSinceThePreviousHit) {
  Process process(platform);
  platform.advanceMs(5000);
  process.accounting().refreshForHit();
  EXPECT_EQ(process.get(kQXPredefinedVariable_ForegroundTime), "5000");
  EXPECT_EQ(process.get(kQXPredefinedVariable_DeltaForegroundTime), "5000");
  EXPECT_EQ(process.get(kQXPredefinedVariable_BackgroundTime), "0");
  EXPECT_EQ(process.get(kQXPredefinedVariable_DeltaBackgroundTime), "0");
  platform.advanceMs(2000);
  process.accounting().refreshForHit();
  EXPECT_EQ(process.get(kQXPredefinedVariable_ForegroundTime), "7000");
  EXPECT_EQ(process.get(kQXPredefinedVariable_DeltaForegroundTime), "2000");
  EXPECT_EQ(label(kQXUsageDuration), "2000");
}

TEST_F(TimeAccountingTest, BackgroundPeriodsAddUpAndTheDeltaIsTheLastOne) {
  Process process(platform);
  for (uint64_t away : {10000, 20000}) {
    process.accounting().didEnterBackground();
    platform.advanceMs(away);
    EXPECT_FALSE(process.accounting().willEnterForeground());
  }
  process.accounting().refreshForHit();
  EXPECT_EQ(process.get(kQXPredefinedVariable_BackgroundTime), "30000");
  EXPECT_EQ(process.get(kQXPredefinedVariable_DeltaBackgroundTime), "20000");
  EXPECT_EQ(process.get(kQXPredefinedVariable_ForegroundTransitions), "3");
}

TEST_F(TimeAccountingTest, OnlyAStayLongerThanTheVisitDurationStartsANewSession) {
  Process process(platform);
  process.accounting().didEnterBackground();
  platform.advanceMs(1800000);
  EXPECT_FALSE(process.accounting().willEnterForeground());
  process.accounting().didEnterBackground();
  platform.advanceMs(1800001);
  EXPECT_TRUE(process.accounting().willEnterForeground());
  // A foreground notification while in foreground changes nothing.
  EXPECT_FALSE(process.accounting().willEnterForeground());
  EXPECT_EQ(process.state.totalForegroundTransitions, 3);
}

TEST_F(TimeAccountingTest,
       AHitInBackgroundAddsToBackgroundAndLeavesForegroundAsTheDepartureLeftIt) {
  Process process(platform);
  platform.advanceMs(3000);
  process.accounting().didEnterBackground();
  EXPECT_EQ(label(kQXTimeSinceLastMeasurement), "3000");
  EXPECT_EQ(label(kQXExitTimestamp), std::to_string(kStartMs + 3000));
  EXPECT_EQ(label(kQXLastForegroundTime), "0");
  platform.advanceMs(4000);
  process.accounting().refreshForHit();
  EXPECT_EQ(process.get(kQXPredefinedVariable_ForegroundTime), "3000");
  EXPECT_EQ(process.get(kQXPredefinedVariable_DeltaForegroundTime), "3000");
  EXPECT_EQ(process.get(kQXPredefinedVariable_BackgroundTime), "4000");
  EXPECT_EQ(process.get(kQXPredefinedVariable_DeltaBackgroundTime), "4000");
}

TEST_F(TimeAccountingTest, TheFirstHitOfAProcessTakesTheLastCallOfThePreviousOne) {
  {
    Process first(platform);
    platform.advanceMs(1000);
    first.accounting().refreshForHit();
    EXPECT_EQ(first.get(kQXPredefinedVariable_LastCall), first.get(kQXPredefinedVariable_Now));
    platform.advanceMs(1000);
    first.accounting().refreshForHit();
    EXPECT_EQ(first.get(kQXPredefinedVariable_LastCallMs), std::to_string(kStartMs + 1000));
  }
  platform.advanceMs(60000);
  Process second(platform);
  second.accounting().refreshForHit();
  EXPECT_EQ(second.get(kQXPredefinedVariable_LastCall), std::to_string(kStartMs / 1000 + 2));
  EXPECT_EQ(second.get(kQXPredefinedVariable_LastCallMs), std::to_string(kStartMs + 2000));
  EXPECT_EQ(second.get(kQXPredefinedVariable_CurrentCallMs), std::to_string(kStartMs + 62000));
}

TEST_F(TimeAccountingTest, SessionDurationCountsFromTheVisitAndItsMillisecondsAddTheCarriedUsage) {
  Process process(platform);
  process.state.startUsage = 777;
  platform.advanceMs(12345);
  process.accounting().refreshForHit();
  EXPECT_EQ(process.get(kQXPredefinedVariable_SessionDuration), "12");
  EXPECT_EQ(process.number(kQXPredefinedVariable_SessionDurationMs) - 777,
            process.number(kQXPredefinedVariable_SessionDuration) * 1000 + 345);
}

TEST_F(TimeAccountingTest, WithoutAVisitStartTheSessionDurationIsLeftAloneAndAnErrorLogged) {
  qxtest::LogCapture log;
  Process process(platform);
  process.store.removeData(kQXPredefinedVariable_CurrentVisit);
  process.store.addData(kQXPredefinedVariable_SessionDuration, std::string("9"));
  process.accounting().refreshForHit();
  EXPECT_EQ(process.get(kQXPredefinedVariable_SessionDuration), "9");
  EXPECT_TRUE(log.contains(4, "Error with timestamp kQXDateCurrentVisitFormat"));
}

TEST_F(TimeAccountingTest, AClockSetBackCountsNoTimeInsteadOfWrappingAround) {
  Process process(platform);
  platform.advanceMs(5000);
  process.accounting().refreshForHit();
  platform.clockJumpsBack(3600);
  process.accounting().refreshForHit();
  EXPECT_EQ(process.get(kQXPredefinedVariable_ForegroundTime), "5000");
  EXPECT_EQ(process.get(kQXPredefinedVariable_DeltaForegroundTime), "0");
  EXPECT_EQ(process.get(kQXPredefinedVariable_SessionDuration), "0");
  process.accounting().didEnterBackground();
  EXPECT_EQ(label(kQXTimeSinceLastMeasurement), "0");
}

TEST_F(TimeAccountingTest, TheFirstLaunchEverStartsALaunchSessionWithZeroFigures) {
  Process process(platform);
  process.accounting().initComScoreSession();
  EXPECT_EQ(process.get(kQXPredefinedVariable_IsNewSession), "1");
  EXPECT_EQ(process.get(kQXPredefinedVariable_LastSessionStartMs), "0");
  for (const char* key :
       {kQXPredefinedVariable_TimeSinceLastExit, kQXPredefinedVariable_AccumulatedBackgroundTime,
        kQXPredefinedVariable_LastForegroundTimeWithoutMeasurement,
        kQXPredefinedVariable_AccumulatedForegroundTimeWithoutMeasurement,
        kQXPredefinedVariable_UserSessionDurationMs,
        kQXPredefinedVariable_UsageSessionDurationMs}) {
    EXPECT_EQ(process.get(key), "0") << key;
  }
  EXPECT_EQ(label(kQXSessionStartTimestamp), std::to_string(kStartMs));
}

// A first launch that lives `foregroundMs`, leaves, and a relaunch
// `awayMs` later.
struct Relaunch {
  Relaunch(QXFakePlatform& platform, uint64_t foregroundMs, uint64_t awayMs) {
    Process first(platform);
    first.accounting().initComScoreSession();
    platform.advanceMs(foregroundMs);
    first.accounting().didEnterBackground();
    platform.advanceMs(awayMs);
    second = std::make_unique<Process>(platform);
    second->accounting().initComScoreSession();
  }
  std::unique_ptr<Process> second;
};

TEST_F(TimeAccountingTest, ARelaunchWithinTheVisitDurationContinuesTheLaunchSession) {
  Relaunch relaunch(platform, 6 * 60000, 4 * 60000);
  Process& p = *relaunch.second;
  EXPECT_EQ(p.get(kQXPredefinedVariable_IsNewSession), "0");
  EXPECT_EQ(p.get(kQXPredefinedVariable_TimeSinceLastExit), "240000");
  EXPECT_EQ(p.get(kQXPredefinedVariable_LastForegroundTimeWithoutMeasurement), "360000");
  EXPECT_EQ(p.get(kQXPredefinedVariable_AccumulatedBackgroundTime), "240000");
  EXPECT_EQ(p.get(kQXPredefinedVariable_AccumulatedForegroundTimeWithoutMeasurement), "360000");
  EXPECT_EQ(p.get(kQXPredefinedVariable_UserSessionDurationMs), "600000");
  EXPECT_EQ(p.get(kQXPredefinedVariable_UsageSessionDurationMs), "600000");
  EXPECT_EQ(p.state.startUsage, 600000u);
}

TEST_F(TimeAccountingTest, ARelaunchAfterTheVisitDurationStartsANewLaunchSession) {
  Relaunch relaunch(platform, 6 * 60000, 25 * 60000);
  Process& p = *relaunch.second;
  EXPECT_EQ(p.get(kQXPredefinedVariable_IsNewSession), "1");
  EXPECT_EQ(p.get(kQXPredefinedVariable_LastSessionStartMs), std::to_string(kStartMs));
  EXPECT_EQ(p.get(kQXPredefinedVariable_UserSessionDurationMs),
            p.get(kQXPredefinedVariable_TimeSinceLastExit));
  EXPECT_EQ(label(kQXSessionStartTimestamp), std::to_string(kStartMs + 31 * 60000));
  EXPECT_EQ(label(kQXLastSessionStartTimestamp), std::to_string(kStartMs));
}

TEST_F(TimeAccountingTest, ASessionStartInTheFutureStartsANewLaunchSession) {
  platform.fakeDefaults().setObject(std::to_string(kStartMs + 3600000), kQXSessionStartTimestamp);
  Process process(platform);
  process.accounting().initComScoreSession();
  EXPECT_EQ(process.get(kQXPredefinedVariable_IsNewSession), "1");
}

TEST_F(TimeAccountingTest, AStoredUsageThatIsNotANumberCountsAsZeroSilently) {
  qxtest::LogCapture log;
  platform.fakeDefaults().setObject(std::to_string(kStartMs - 1000), kQXSessionStartTimestamp);
  platform.fakeDefaults().setObject("abc", kQXUsageDuration);
  Process process(platform);
  process.state.startUsage = 55;
  process.accounting().initComScoreSession();
  EXPECT_EQ(process.state.startUsage, 0u);
  EXPECT_TRUE(log.messagesAt(3).empty());
}

}  // namespace

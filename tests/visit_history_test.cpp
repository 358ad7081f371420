#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "QXSDK/QXPredefinedVariables.h"
#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/predefined/QXVisitHistory.h"
#include "platform/QXApplication.h"
#include "platform/QXFakePlatform.h"

namespace {

constexpr uint64_t kStart = 1700000000;

// Launches of the application, each a new process of the registry over the
// same persisted defaults.
class VisitHistoryTest : public ::testing::Test {
 protected:
  void SetUp() override { platform = QXFakePlatform::installNew(); }

  QXPredefinedVariables& launch(int pid) {
    platform->setProcessIdentifier(pid);
    if (!launched_) {
      launched_ = true;
      return QXPredefinedVariables::sharedInstance();
    }
    return *QXPredefinedVariables::sharedInstance().reinit();
  }
  std::string get(const char* key) {
    return QXPredefinedVariables::sharedInstance().getData(key).value_or("<absent>");
  }
  std::string record(const char* key) {
    return platform->standardUserDefaults()->objectForKey(key).value_or("<absent>");
  }

  std::shared_ptr<QXFakePlatform> platform;

 private:
  bool launched_ = false;
};

TEST_F(VisitHistoryTest, TheFirstLaunchIsTheFirstVisitAndItsNewSession) {
  launch(100);
  EXPECT_EQ(get(kQXPredefinedVariable_IsFirstVisit), "TRUE");
  EXPECT_EQ(get(kQXPredefinedVariable_ColdStarts), "1");
  EXPECT_EQ(get(kQXPredefinedVariable_NumberVisits), "1");
  EXPECT_EQ(get(kQXPredefinedVariable_NumberSessions), "2");
  EXPECT_EQ(record(kQXNumberVisitsFormat), "2");
  EXPECT_EQ(record(kQXNumberColdStarts), "1");
  const std::string now = std::to_string(kStart);
  EXPECT_EQ(get(kQXPredefinedVariable_FirstVisit), now);
  EXPECT_EQ(get(kQXPredefinedVariable_LastVisit), now);
  EXPECT_EQ(get(kQXPredefinedVariable_CurrentVisit), now);
  EXPECT_EQ(get(kQXPredefinedVariable_FirstVisitMs), now + "000");
  EXPECT_EQ(get(kQXPredefinedVariable_CurrentVisitMs), now + "000");
  // Every initialisation ends with a new session that starts at the launch.
  EXPECT_EQ(get(kQXPredefinedVariable_LastSessionLastHit), get(kQXPredefinedVariable_CurrentCall));
  EXPECT_EQ(get(kQXPredefinedVariable_LastSessionLastHitMs),
            get(kQXPredefinedVariable_CurrentCallMs));
}

TEST_F(VisitHistoryTest, ASecondLaunchIsANewVisitCountingOnFromTheFirst) {
  launch(100);
  platform->advanceSeconds(3600);
  launch(200);
  EXPECT_EQ(get(kQXPredefinedVariable_ColdStarts), "2");
  EXPECT_EQ(get(kQXPredefinedVariable_NumberVisits), "3");
  EXPECT_EQ(get(kQXPredefinedVariable_NumberSessions), "4");
  EXPECT_EQ(record(kQXNumberVisitsFormat), "4");
  EXPECT_EQ(record(kQXNumberColdStarts), "2");
  EXPECT_EQ(get(kQXPredefinedVariable_FirstVisit), std::to_string(kStart));
  EXPECT_EQ(get(kQXPredefinedVariable_LastVisit), std::to_string(kStart));
  EXPECT_EQ(get(kQXPredefinedVariable_CurrentVisit), std::to_string(kStart + 3600));
  EXPECT_EQ(record(kQXLastPID), "200");
  platform->advanceSeconds(3600);
  launch(300);
  EXPECT_EQ(get(kQXPredefinedVariable_LastVisit), std::to_string(kStart + 3600));
  EXPECT_EQ(get(kQXPredefinedVariable_FirstVisit), std::to_string(kStart));
}

TEST_F(VisitHistoryTest, ALongStayInBackgroundStartsANewSessionButNotANewVisit) {
  launch(100);
  platform->advanceSeconds(3600);
  launch(200);
  platform->advanceSeconds(10);
  QXPredefinedVariables::sharedInstance().computeTimeChangingVariables();  // a hit
  const std::string hitDate = get(kQXPredefinedVariable_CurrentCall);

  QXApplication::didEnterBackground();
  platform->advanceMs(1800000);
  QXApplication::willEnterForeground();
  EXPECT_EQ(get(kQXPredefinedVariable_NumberSessions), "4");

  QXApplication::didEnterBackground();
  platform->advanceMs(31 * 60000);
  QXApplication::willEnterForeground();
  EXPECT_EQ(get(kQXPredefinedVariable_NumberSessions), "5");
  EXPECT_EQ(record(kQXNumberVisitsFormat), "5");
  EXPECT_EQ(get(kQXPredefinedVariable_NumberVisits), "3");
  EXPECT_EQ(get(kQXPredefinedVariable_LastSessionLastHit), hitDate);
  EXPECT_EQ(get(kQXPredefinedVariable_CurrentSessionMs),
            std::to_string((kStart + 3600 + 10 + 1800 + 31 * 60) * 1000));
}

TEST_F(VisitHistoryTest, AnInitialisationInTheSameProcessContinuesTheVisit) {
  launch(100);
  platform->advanceSeconds(60);
  launch(100);  // the same process initialises again
  EXPECT_EQ(record(kQXNumberColdStarts), "1");
  EXPECT_EQ(record(kQXNumberVisitsFormat), "3");  // moved by the new-session step only
  EXPECT_EQ(get(kQXPredefinedVariable_NumberVisits), "2");
  EXPECT_EQ(get(kQXPredefinedVariable_ColdStarts), "2");
}

TEST_F(VisitHistoryTest, EmptyStoredCountersStartAgainAtOne) {
  QXStandardUserDefaults& defaults = *platform->standardUserDefaults();
  defaults.setObject("", kQXPredefinedVariable_ColdStarts);
  defaults.setObject(std::to_string(kStart - 100), kQXDateFirstVisitFormat);
  defaults.setObject("", kQXNumberColdStarts);
  launch(100);
  EXPECT_EQ(get(kQXPredefinedVariable_ColdStarts), "1");
  EXPECT_EQ(record(kQXNumberColdStarts), "1");
  // No current-visit date: the previous visit is the first one.
  EXPECT_EQ(get(kQXPredefinedVariable_LastVisit), std::to_string(kStart - 100));
}

TEST_F(VisitHistoryTest, AnyPersistedVersionMakesTheLaunchARepeatedVisit) {
  QXFakePlatform local;
  QXDynamicStore store;
  QXVisitHistory history(store, local, "1");
  history.initIsFirstVisit();
  EXPECT_EQ(store.getData(kQXPredefinedVariable_IsFirstVisit), "TRUE");
  local.fakeDefaults().setObject("", kQXPredefinedVariable_CurVersionFirstVisitMs);
  history.initIsFirstVisit();
  EXPECT_EQ(store.getData(kQXPredefinedVariable_IsFirstVisit), "FALSE");
}

TEST_F(VisitHistoryTest, TheLastCallOfAnEarlierProcessIsTheLastHitOfTheLastSession) {
  QXFakePlatform local;
  QXDynamicStore store;
  QXVisitHistory history(store, local, "1");
  local.fakeDefaults().setObject("1699999999", kQXPredefinedVariable_LastCall);
  local.fakeDefaults().setObject("", kQXPredefinedVariable_LastCallMs);
  history.initLastCallLastVisit();
  EXPECT_EQ(store.getData(kQXPredefinedVariable_LastSessionLastHit), "1699999999");
  EXPECT_EQ(store.getData(kQXPredefinedVariable_LastSessionLastHitMs), std::nullopt);
}

TEST_F(VisitHistoryTest, DamagedRecordsStillGiveNumbers) {
  QXFakePlatform local;
  QXDynamicStore store;
  QXVisitHistory history(store, local, "1");
  history.addTimestamp("#S#", "#MS#", "99999999999999999999");
  EXPECT_EQ(store.getData("#S#"), "9223372036854775807");
  EXPECT_EQ(store.getData("#MS#"), "9223372036854775807");
  history.addTimestamp("#S#", "#MS#", "not a date");
  EXPECT_EQ(store.getData("#S#"), "0");
  EXPECT_EQ(store.getData("#MS#"), "0");
  local.fakeDefaults().setObject("2147483647", kQXNumberVisitsFormat);
  history.updateVariablesForNewVisit();
  EXPECT_EQ(store.getData(kQXPredefinedVariable_NumberSessions), "2147483647");
}

}  // namespace

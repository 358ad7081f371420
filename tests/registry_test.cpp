#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "QXSDK/QXPredefinedVariables.h"
#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/QXVersion.h"
#include "core/QXCoreConstants.h"
#include "core/QXCoreVariables.h"
#include "core/QXUserDefaults.h"
#include "platform/QXApplication.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { platform = QXFakePlatform::installNew(); }
  QXPredefinedVariables& registry() { return QXPredefinedVariables::sharedInstance(); }

  std::shared_ptr<QXFakePlatform> platform;
};

// The version is stated once, in the build; the constant that every hit
// carries is the generated header's text, which is its three numbers.
TEST(Version, TheSDKVersionIsTheBuildsMajorMinorAndPatch) {
  EXPECT_STREQ(kQXSDKVersion, QX_VERSION_STRING);
  EXPECT_EQ(std::string(QX_VERSION_STRING), std::to_string(QX_VERSION_MAJOR) + "." +
                                                std::to_string(QX_VERSION_MINOR) + "." +
                                                std::to_string(QX_VERSION_PATCH));
}

TEST_F(RegistryTest, IsOneObjectWhoseStepsRunOnceAndCanBeReachedBeforeAnyTracker) {
  QXPredefinedVariables& first = registry();
  EXPECT_EQ(&first, &registry());
  EXPECT_EQ(QXUserDefaults::retrieveInfoFromUserDefaults(kQXPredefinedVariable_ColdStarts), "1");
}

TEST_F(RegistryTest, AfterLaunchTheStoreHoldsTheFixedStartingValues) {
  QXPredefinedVariables& r = registry();
  EXPECT_EQ(r.getData(kQXPredefinedVariable_ForegroundTransitions), "1");
  EXPECT_EQ(r.getData(kQXPredefinedVariable_DeltaBackgroundTime), "0");
  EXPECT_EQ(r.getData(kQXPredefinedVariable_Empty), "");
  EXPECT_EQ(r.getData(kQXPredefinedVariable_FirstExecute), "TRUE");
  EXPECT_EQ(r.getData(kQXPredefinedVariable_ApplicationPreviousVersion), "0");
  EXPECT_EQ(r.manufacturer(), "Apple");
  EXPECT_EQ(r.quorvexVersion(), kQXSDKVersion);
  EXPECT_EQ(r.getData(kQXPredefinedVariable_RuntimeName), "ios");
  EXPECT_EQ(r.localConnexion(), "wifi");
  EXPECT_EQ(r.getData(kQXPredefinedVariable_CurrencyCode), "EUR");
  EXPECT_EQ(r.uniqueIdentifier(), "00000000-0000-4000-8000-000000000001");
  EXPECT_EQ(r.pid(), "4242");
  EXPECT_EQ(r.visitDuration(), 1800000u);
  EXPECT_EQ(r.lastTime(), 1700000000000u);
  EXPECT_EQ(r.totalForegroundTransitions(), 1);
}

TEST_F(RegistryTest, AnotherObjectInitialisedAfterTheRegistryStaysUntouched) {
  registry();
  QXPredefinedVariables other;
  EXPECT_EQ(other.init(), &other);
  EXPECT_TRUE(other.dynamicStore().empty());
  EXPECT_EQ(other.listenerDelegate(), nullptr);
}

TEST_F(RegistryTest, ReinitStartsAFreshStoreAndRunsTheLaunchStepsAgain) {
  QXPredefinedVariables& r = registry();
  r.addData("#HOST_VALUE#", std::string("x"));
  r.firstExecute();
  r.setTotalForegroundTransitions(7);
  const auto identifier = r.uniqueIdentifier();
  EXPECT_EQ(r.reinit(), &r);
  EXPECT_EQ(r.getData("#HOST_VALUE#"), std::nullopt);
  EXPECT_EQ(r.getData(kQXPredefinedVariable_FirstExecute), "TRUE");
  EXPECT_EQ(r.getData(kQXPredefinedVariable_ColdStarts), "2");
  EXPECT_EQ(r.getData(kQXPredefinedVariable_ForegroundTransitions), "1");
  EXPECT_EQ(r.uniqueIdentifier(), identifier);
  // The transitions are still observed once each.
  EXPECT_EQ(QXNotificationCenter::defaultCenter()->observerCount(
                UIApplicationDidEnterBackgroundNotification),
            1u);
}

TEST_F(RegistryTest, AccessorsReadTheirOwnKeys) {
  QXPredefinedVariables& r = registry();
  r.addData(kQXPredefinedVariable_CurrentSession, std::string("100"));
  r.addData(kQXPredefinedVariable_CurrentVisit, std::string("50"));
  EXPECT_EQ(r.timestampCurrentVisit(), "100");
  EXPECT_EQ(r.nav_TimestampCurrentVisit(), "50");
  EXPECT_EQ(r.orientation(), "");
  platform->setCurrency(std::string("JPY"), std::nullopt);
  EXPECT_EQ(r.currencyCode(), "JPY");
  EXPECT_EQ(r.getData(kQXPredefinedVariable_CurrencyCode), "JPY");
  EXPECT_EQ(r.currencySymbol(), std::nullopt);
  EXPECT_EQ(r.getData(kQXPredefinedVariable_CurrencySymbol), std::nullopt);
}

TEST_F(RegistryTest, TheAnnouncedUserAgentIsStoredWhileTheAccessorReadsTheCoresOwn) {
  QXPredefinedVariables& r = registry();
  auto center = QXNotificationCenter::defaultCenter();
  center->postNotification(QXNotification::notificationWithName(
      kQXNotification_UserAgentAvailable, nullptr, QXUserInfo{{kQXUserInfo_DataKey, "Agent/2"}}));
  EXPECT_EQ(r.getData(kQXPredefinedVariable_UserAgent), "Agent/2");
  EXPECT_EQ(r.userAgent(),
            QXCoreVariables::sharedInstance().getData(kQXPredefinedVariable_UserAgent));
  EXPECT_NE(r.userAgent(), "Agent/2");

  // Without user info, with other entries, or under another name: no change.
  center->postNotification(
      QXNotification::notificationWithName(kQXNotification_UserAgentAvailable, nullptr));
  center->postNotification(QXNotification::notificationWithName(
      kQXNotification_UserAgentAvailable, nullptr, QXUserInfo{{"unexpected", "x"}}));
  r.onNotificationReceived(QXNotification::notificationWithName(
      "another name", nullptr, QXUserInfo{{kQXUserInfo_DataKey, "Other/1"}}));
  EXPECT_EQ(r.getData(kQXPredefinedVariable_UserAgent), "Agent/2");
}

TEST_F(RegistryTest, TheListenerCanMoveToAnotherCenter) {
  QXPredefinedVariables& r = registry();
  auto other = QXNotificationCenter::create();
  r.changeNotificationCenter(other);
  other->postNotification(QXNotification::notificationWithName(
      kQXNotification_UserAgentAvailable, nullptr, QXUserInfo{{kQXUserInfo_DataKey, "Moved/1"}}));
  EXPECT_EQ(r.getData(kQXPredefinedVariable_UserAgent), "Moved/1");
}

TEST_F(RegistryTest, ClockReadingsFollowThePlatformClockAndNeverGoBelowZero) {
  QXPredefinedVariables& r = registry();
  platform->setNow(1700000000.9999);
  EXPECT_EQ(r.now(), 1700000000u);
  EXPECT_EQ(r.nowMs(), 1700000000999u);
  EXPECT_EQ(r.nowString(), "1700000000");
  EXPECT_EQ(r.nowMsString(), "1700000000999");
  platform->setNow(-5.0);
  EXPECT_EQ(r.now(), 0u);
  EXPECT_EQ(r.nowMs(), 0u);
}

TEST_F(RegistryTest, RandomNumbersAreNeverNegative) {
  QXPredefinedVariables& r = registry();
  platform->setRandomSequence({0xFFFFFFFFu, 0x80000000u, 42u, 0x7FFFFFFFu});
  EXPECT_EQ(r.randomInt(), 1);
  EXPECT_EQ(r.randomInt(), INT32_MAX);
  EXPECT_EQ(r.randomString(), "42");
  EXPECT_EQ(r.randomInt(), INT32_MAX);
}

TEST_F(RegistryTest, WithoutUserDefaultsTheLaunchStillCompletesWithoutAnIdentifier) {
  platform->setDefaultsAvailable(false);
  QXPredefinedVariables& r = registry();
  EXPECT_EQ(r.uniqueIdentifier(), std::nullopt);
  EXPECT_EQ(r.getData(kQXPredefinedVariable_ColdStarts), "1");
  EXPECT_EQ(r.getData(kQXPredefinedVariable_FirstExecute), "TRUE");
}

}  // namespace

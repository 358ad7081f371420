#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXPredefinedVariables.h"
#include "QXSDK/QXProduct.h"
#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/QXState.h"
#include "QXSDK/Quorvex.h"
#include "core/QXCoreInitialisation.h"
#include "core/QXCoreVariables.h"
#include "platform/QXApplication.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"

namespace {

using qxtest::fieldOf;

class HitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform = QXFakePlatform::installNew();
    requests = std::make_unique<qxtest::NotificationRecorder>(QXNotificationCenter::defaultCenter(),
                                                              kQXNotification_HTTPRequest);
  }

  std::string lastBody() const {
    return requests->received().back().userInfo->at(kQXUserInfo_POSTData);
  }

  std::shared_ptr<QXFakePlatform> platform;
  std::unique_ptr<qxtest::NotificationRecorder> requests;
};

TEST_F(HitTest, StartUpMakesOneStateAndOneRegistryButInitialisesTheCoreForEveryTracker) {
  Quorvex first(1, 1);
  QXCoreVariables::sharedInstance().dynamicStore().addData("#QX_CORE_PROBE#", std::string("a"));
  Quorvex second(2, 2);
  EXPECT_EQ(QXPredefinedVariables::sharedInstance().getData("#QX_CORE_PROBE#"), "a");
  QXCoreVariables::sharedInstance().dynamicStore().addData("#QX_CORE_PROBE#", std::string("b"));
  Quorvex third(3, 3);
  EXPECT_EQ(QXPredefinedVariables::sharedInstance().getData("#QX_CORE_PROBE#"), "b");

  EXPECT_EQ(QXCoreInitialisation::instancesCreated(), 3);
  EXPECT_EQ(&QXState::sharedInstance(), &QXState::sharedInstance());
  auto center = QXNotificationCenter::defaultCenter();
  // The state singleton and the registry each observe the transitions once.
  EXPECT_EQ(center->observerCount(UIApplicationDidEnterBackgroundNotification), 2u);
  EXPECT_EQ(center->observerCount(UIApplicationWillEnterForegroundNotification), 2u);
  // The launch was counted once.
  EXPECT_EQ(QXPredefinedVariables::sharedInstance().getData(kQXPredefinedVariable_ColdStarts), "1");
}

TEST_F(HitTest, TheRequestCarriesURLAndBodyAndTheTrackerAsSender) {
  Quorvex tracker(410501, 7);
  tracker.addData("page", std::string("home"));
  tracker.sendData();
  ASSERT_EQ(requests->count(), 1u);
  const QXNotification request = requests->received()[0];
  EXPECT_EQ(request.object, &tracker);
  ASSERT_TRUE(request.userInfo.has_value());
  EXPECT_EQ(request.userInfo->size(), 2u);
  EXPECT_EQ(request.userInfo->at(kQXUserInfo_URLKey), "https://collect410501.quorvex.net/7/");
  EXPECT_EQ(fieldOf(lastBody(), "page"), "home");
  EXPECT_EQ(fieldOf(lastBody(), "QX_QUORVEX_VERSION"), kQXSDKVersion);
}

TEST_F(HitTest, ApplicationVariablesWinOverPermanentDataWhichWinsOverHitVariables) {
  Quorvex tracker(1, 2);
  tracker.addData(kQXPredefinedVariable_Manufacturer, std::string("hit"));
  tracker.addData("shared", std::string("hit"));
  tracker.addData("hitOnly", std::string("hit"));
  tracker.addPermanentData("shared", std::string("permanent"));
  tracker.addPermanentData("both", std::string("permanent"));
  QXAppVars appVars;
  appVars.addData("both", std::string("app"));
  appVars.addData(kQXPredefinedVariable_QuorvexVersion, std::string("app"));
  tracker.execute(appVars);
  const std::string body = lastBody();
  EXPECT_EQ(fieldOf(body, "QX_MANUFACTURER"), "hit");
  EXPECT_EQ(fieldOf(body, "shared"), "permanent");
  EXPECT_EQ(fieldOf(body, "hitOnly"), "hit");
  EXPECT_EQ(fieldOf(body, "both"), "app");
  EXPECT_EQ(fieldOf(body, "QX_QUORVEX_VERSION"), "app");
  // Each key once, in the place of its first writer: the predefined ones first.
  const auto fields = qxtest::parseBody(body);
  auto position = [&](const std::string& name) {
    return std::find_if(fields.begin(), fields.end(), [&](auto& f) { return f.first == name; }) -
           fields.begin();
  };
  EXPECT_LT(position("QX_QUORVEX_VERSION"), position("shared"));
  EXPECT_LT(position("shared"), position("both"));
  EXPECT_EQ(std::count_if(fields.begin(), fields.end(),
                          [](auto& f) { return f.first == "QX_MANUFACTURER"; }),
            1);
}

TEST_F(HitTest, AProductOfTheTrackerAndTheFirstOfTheApplicationsListShareKeysAndTheAppWins) {
  Quorvex tracker(1, 2);
  QXProduct mine;
  mine.setID(std::string("T1"));
  mine.setName(std::string("tracker's"));
  tracker.addData("basket", mine);
  QXProduct theirs;
  theirs.setID(std::string("A1"));
  QXAppVars appVars;
  appVars.addData("basket", std::vector<QXProduct>{theirs});
  tracker.execute(appVars);
  EXPECT_EQ(fieldOf(lastBody(), "basket[product_id][0]"), "A1");
  EXPECT_EQ(fieldOf(lastBody(), "basket[product_name][0]"), "tracker's");
}

TEST_F(HitTest, AnExecutedHitClearsTheHitVariablesAndProductsButNotThePermanentData) {
  Quorvex tracker(1, 2);
  tracker.addData("page", std::string("home"));
  tracker.addPermanentData("user", std::string("42"));
  tracker.addData("basket", QXProduct());
  QXAppVars appVars;
  appVars.addData("kept", std::string("yes"));
  tracker.execute(appVars);
  EXPECT_EQ(tracker.getData("page"), std::nullopt);
  EXPECT_EQ(tracker.numberOfProducts(), 0);
  EXPECT_EQ(tracker.getPermanentData("user"), "42");
  EXPECT_EQ(appVars.getData("kept"), "yes");
  tracker.sendData();
  EXPECT_EQ(fieldOf(lastBody(), "page"), std::nullopt);
  EXPECT_EQ(fieldOf(lastBody(), "user"), "42");
}

TEST_F(HitTest, ADeactivatedTrackerSendsOnlyConsentHitsAndKeepsItsVariablesOtherwise) {
  Quorvex tracker(1, 2);
  tracker.addData("page", std::string("home"));
  tracker.deactivateSDK();
  const auto before = QXPredefinedVariables::sharedInstance().getData(kQXPredefinedVariable_NowMs);
  platform->advanceMs(5000);

  tracker.sendData();
  QXAppVars plain;
  plain.addData("x", std::string("1"));
  tracker.execute(plain);
  EXPECT_EQ(requests->count(), 0u);
  EXPECT_EQ(tracker.getData("page"), "home");
  // Nothing was refreshed either.
  EXPECT_EQ(QXPredefinedVariables::sharedInstance().getData(kQXPredefinedVariable_NowMs), before);

  QXAppVars consent;
  consent.addData("#CONSENT_HIT#", std::string(""));
  tracker.execute(consent);
  ASSERT_EQ(requests->count(), 1u);
  const QXUserInfo userInfo = *requests->received()[0].userInfo;
  EXPECT_EQ(userInfo.size(), 3u);
  EXPECT_EQ(userInfo.at(kQXUserInfo_ResponseKey), "Consent");
  EXPECT_EQ(fieldOf(lastBody(), "CONSENT_HIT"), "");
  EXPECT_EQ(fieldOf(lastBody(), "page"), "home");
  EXPECT_EQ(tracker.getData("page"), std::nullopt);
}

TEST_F(HitTest, DeactivationDropsWhatIsAddedMeanwhileAndKeepsWhatWasThere) {
  Quorvex tracker(1, 2);
  tracker.addData("before", std::string("kept"));
  tracker.addPermanentData("user", std::string("42"));
  tracker.deactivateSDK();
  tracker.addData("during", std::string("dropped"));
  QXProduct shoes;
  shoes.setID(std::string("SKU-1"));
  tracker.addData("basket", shoes);
  tracker.addPermanentData("plan", std::string("premium"));
  tracker.sendData();
  EXPECT_EQ(requests->count(), 0u);

  QXAppVars consent;
  consent.setConsentHit(true);
  tracker.execute(consent);
  ASSERT_EQ(requests->count(), 1u);
  const std::string body = lastBody();
  struct Field {
    const char* name;
    std::optional<std::string> value;
  };
  for (const Field& field : {Field{"before", "kept"}, Field{"user", "42"}, Field{"plan", "premium"},
                             Field{"CONSENT_HIT", "1"}, Field{"during", std::nullopt},
                             Field{"basket[product_id][0]", std::nullopt}}) {
    EXPECT_EQ(fieldOf(body, field.name), field.value) << field.name;
  }
  // The consent hit cleared the hit's variables as any hit does.
  EXPECT_EQ(tracker.getData("before"), std::nullopt);
  EXPECT_EQ(tracker.numberOfProducts(), 0);
  EXPECT_EQ(tracker.getPermanentData("plan"), "premium");
}

TEST_F(HitTest, AnActiveTrackersConsentHitAlsoCarriesTheConsentEntry) {
  Quorvex tracker(1, 2);
  QXAppVars consent;
  consent.addData("#CONSENT_HIT#", std::string("granted"));
  tracker.execute(consent);
  ASSERT_EQ(requests->count(), 1u);
  EXPECT_EQ(requests->received()[0].userInfo->at(kQXUserInfo_ResponseKey), "Consent");
}

TEST_F(HitTest, OnlyTheFirstHitOfTheProcessIsAFirstExecuteUntilTheRegistryStartsAgain) {
  Quorvex first(1, 1);
  Quorvex second(2, 2);
  first.sendData();
  EXPECT_EQ(fieldOf(lastBody(), "QX_FIRST_EXECUTE"), "TRUE");
  second.sendData();
  EXPECT_EQ(fieldOf(lastBody(), "QX_FIRST_EXECUTE"), "FALSE");
  first.sendData();
  EXPECT_EQ(fieldOf(lastBody(), "QX_FIRST_EXECUTE"), "FALSE");
  QXPredefinedVariables::sharedInstance().reinit();
  second.sendData();
  EXPECT_EQ(fieldOf(lastBody(), "QX_FIRST_EXECUTE"), "TRUE");
}

TEST_F(HitTest, TheHitDataIsLoggedAtLevelZeroWithTheApplicationsValuesOnTop) {
  qxtest::LogCapture log;
  Quorvex tracker(1, 2);
  tracker.addData("page", std::string("home"));
  QXAppVars appVars;
  appVars.addData("page", std::string("app"));
  tracker.execute(appVars);
  const auto lines = log.messagesAt(0);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Quorvex Executing with the following data: \n{\n    \"page\" = \"app\";\n}");
}

TEST_F(HitTest, GetPostDataChangesNothingInTheTrackerButRefreshesTheTimes) {
  Quorvex tracker(1, 2);
  tracker.addData("page", std::string("home"));
  const std::string first = tracker.getPostData(nullptr);
  platform->advanceMs(2000);
  const std::string second = tracker.getPostData(nullptr);
  EXPECT_EQ(tracker.getData("page"), "home");
  EXPECT_EQ(requests->count(), 0u);
  EXPECT_EQ(std::stoull(*fieldOf(second, "QX_NOW_MS")) - std::stoull(*fieldOf(first, "QX_NOW_MS")),
            2000u);
}

TEST_F(HitTest, DatesPast2038AndPastThirtyTwoBitsOfSecondsReachTheBodyUnwrapped) {
  // The first second that a 32-bit time_t cannot hold, and half of it.
  platform->setNow(2147483648.5);
  Quorvex tracker(1, 2);
  const std::string first = tracker.getPostData(nullptr);
  EXPECT_EQ(fieldOf(first, "QX_NOW"), "2147483648");
  EXPECT_EQ(fieldOf(first, "QX_NOW_MS"), "2147483648500");
  EXPECT_EQ(fieldOf(first, "QX_FIRST_VISIT_MS"), "2147483648000");
  // February 2106, past 32 unsigned bits of seconds.
  platform->setNow(4294967296.25);
  const std::string second = tracker.getPostData(nullptr);
  EXPECT_EQ(fieldOf(second, "QX_NOW"), "4294967296");
  EXPECT_EQ(fieldOf(second, "QX_NOW_MS"), "4294967296250");
  EXPECT_EQ(fieldOf(second, "QX_FIRST_VISIT_MS"), "2147483648000");
}

TEST_F(HitTest, ApplicationVariablesWithoutAStoreAddNothingAndCannotMakeAConsentHit) {
  Quorvex tracker(1, 2);
  QXAppVars appVars;
  appVars.setDynamicStore(nullptr);
  tracker.execute(appVars);
  EXPECT_EQ(requests->count(), 1u);
  tracker.deactivateSDK();
  tracker.execute(appVars);  // cannot be a consent hit without a store
  EXPECT_EQ(requests->count(), 1u);
}

TEST_F(HitTest, TheStateRepostsTransitionsAsItsOwnNotificationsWithoutUserInfo) {
  Quorvex tracker(1, 2);
  qxtest::NotificationRecorder backgrounds(QXNotificationCenter::defaultCenter(),
                                           kQXNotification_OnBackground);
  qxtest::NotificationRecorder foregrounds(QXNotificationCenter::defaultCenter(),
                                           kQXNotification_OnForeground);
  QXApplication::didEnterBackground();
  ASSERT_EQ(backgrounds.count(), 1u);
  EXPECT_EQ(backgrounds.received()[0].object, &QXState::sharedInstance());
  EXPECT_FALSE(backgrounds.received()[0].userInfo.has_value());
  EXPECT_EQ(foregrounds.count(), 0u);
  QXApplication::willEnterForeground();
  ASSERT_EQ(foregrounds.count(), 1u);
  EXPECT_EQ(foregrounds.received()[0].object, &QXState::sharedInstance());

  // Re-initialised, it still posts each transition once, through a new sender.
  auto sender = QXState::sharedInstance().senderDelegate();
  QXState::sharedInstance().init();
  EXPECT_EQ(QXState::sharedInstance().senderDelegate(), sender);
  QXState::sharedInstance().reinit();
  EXPECT_NE(QXState::sharedInstance().senderDelegate(), sender);
  QXApplication::didEnterBackground();
  EXPECT_EQ(backgrounds.count(), 2u);
}

TEST_F(HitTest, TheStateMovesItsNotificationsToAnotherCenter) {
  Quorvex tracker(1, 2);
  auto other = QXNotificationCenter::create();
  qxtest::NotificationRecorder onDefault(QXNotificationCenter::defaultCenter(),
                                         kQXNotification_OnBackground);
  qxtest::NotificationRecorder onOther(other, kQXNotification_OnBackground);
  QXState::sharedInstance().changeNotificationCenter(other);
  QXApplication::didEnterBackground();
  EXPECT_EQ(onDefault.count(), 0u);
  EXPECT_EQ(onOther.count(), 1u);
}

TEST_F(HitTest, HitsGoToTheCenterTheTrackerWasGiven) {
  auto center = QXNotificationCenter::create();
  qxtest::NotificationRecorder elsewhere(center, kQXNotification_HTTPRequest);
  Quorvex tracker(1, 2, center);
  tracker.sendData();
  EXPECT_EQ(elsewhere.count(), 1u);
  EXPECT_EQ(requests->count(), 0u);
}

}  // namespace

#include <gtest/gtest.h>

#include <string>

#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/Quorvex.h"
#include "core/QXCoreVariables.h"
#include "core/QXNetworkManager.h"
#include "platform/QXComponentRegistry.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"

namespace {

class TrackerTest : public ::testing::Test {
 protected:
  void SetUp() override { platform = QXFakePlatform::installNew(); }

  void post(const std::string& name) {
    QXNotificationCenter::defaultCenter()->postNotification(
        QXNotification::notificationWithName(name, nullptr));
  }

  std::shared_ptr<QXFakePlatform> platform;
};

TEST_F(TrackerTest, CreationBuildsTheURLAndLogsVersionAndIDs) {
  qxtest::LogCapture log;
  Quorvex tracker(410501, 7);
  EXPECT_EQ(tracker.url(), "https://collect410501.quorvex.net/7/");
  EXPECT_EQ(tracker.siteID(), 410501);
  EXPECT_EQ(tracker.containerID(), 7);
  EXPECT_EQ(tracker.numberOfProducts(), 0);
  EXPECT_EQ(tracker.enableSDK(), 1);
  EXPECT_NE(tracker.initialisation(), nullptr);
  EXPECT_EQ(log.messagesAt(2),
            (std::vector<std::string>{std::string("Quorvex Init: version ") + kQXSDKVersion,
                                      "Quorvex init with siteID 410501 and container ID 7"}));
}

TEST_F(TrackerTest, ZeroAndNegativeIDsGiveAUsableTrackerWithoutTheIDLine) {
  qxtest::LogCapture log;
  Quorvex zero(0, 5);
  Quorvex negative(-12, -3);
  EXPECT_EQ(zero.url(), "https://collect0.quorvex.net/5/");
  EXPECT_EQ(negative.url(), "https://collect-12.quorvex.net/-3/");
  zero.addData("k", std::string("v"));
  EXPECT_EQ(zero.getData("k"), "v");
  const auto lines = log.messagesAt(2);
  EXPECT_EQ(
      std::count(lines.begin(), lines.end(), std::string("Quorvex Init: version ") + kQXSDKVersion),
      2);
  EXPECT_TRUE(log.contains(2, "siteID -12 and container ID -3"));
  EXPECT_FALSE(log.contains(2, "siteID 0 "));
}

TEST_F(TrackerTest, TheURLDoesNotFollowTheIDs) {
  Quorvex tracker(1, 2);
  tracker.setSiteID(99);
  tracker.setContainerID(98);
  EXPECT_EQ(tracker.url(), "https://collect1.quorvex.net/2/");
}

TEST_F(TrackerTest, ThePrivacyComponentMakesTheInitialStateZeroWhichStillAcceptsData) {
  platform->addComponent("QXMobilePrivacy");
  Quorvex tracker(1, 2);
  EXPECT_EQ(tracker.enableSDK(), 0);
  tracker.addData("k", std::string("v"));
  QXProduct product;
  product.setID(std::string("A1"));
  tracker.addData("basket", product);
  EXPECT_EQ(tracker.getData("k"), "v");
  EXPECT_EQ(tracker.getData("basket[product_id][0]"), "A1");
}

TEST_F(TrackerTest, AComponentRegisteredInTheProcessIsFoundToo) {
  QXComponentRegistry::add("QXMobilePrivacy");
  Quorvex tracker(1, 2);
  EXPECT_EQ(tracker.enableSDK(), 0);
  QXComponentRegistry::remove("QXMobilePrivacy");
}

TEST_F(TrackerTest, WhileDeactivatedVariablesAndProductsAreDroppedButOtherOperationsAct) {
  qxtest::LogCapture log;
  Quorvex tracker(1, 2);
  tracker.addData("kept", std::string("1"));
  tracker.deactivateSDK();
  EXPECT_EQ(tracker.enableSDK(), 2);
  EXPECT_TRUE(log.contains(1, "Quorvex's SDK is now deactivated"));

  tracker.addData("dropped", std::string("x"));
  QXDynamicStore store;
  store.addData("merged", std::string("x"));
  tracker.addData(store);
  QXProduct product;
  product.setID(std::string("A1"));
  tracker.addData("basket", product);
  EXPECT_EQ(tracker.getData("dropped"), std::nullopt);
  EXPECT_EQ(tracker.getData("merged"), std::nullopt);
  EXPECT_EQ(tracker.getData("basket[product_id][0]"), std::nullopt);
  EXPECT_EQ(tracker.numberOfProducts(), 0);

  tracker.addPermanentData("p", std::string("1"));
  EXPECT_EQ(tracker.getPermanentData("p"), "1");
  EXPECT_EQ(tracker.removeData("kept"), "1");
  tracker.addData("kept", std::string("again"));  // still refused
  EXPECT_EQ(tracker.getData("kept"), std::nullopt);

  tracker.activateSDK();
  EXPECT_TRUE(log.contains(1, "Quorvex's SDK is now activated"));
  EXPECT_EQ(tracker.getData("dropped"), std::nullopt);  // refused data does not come back
}

TEST_F(TrackerTest, ProductsTakeTheCounterAsIndexWhateverTheirNames) {
  Quorvex tracker(1, 2);
  QXProduct first;
  first.setID(std::string("A1"));
  first.setPrice(std::string(""));
  QXProduct second;
  second.setID(std::string("B2"));
  second.customProperties()["colour"] = "red";
  tracker.addData("basket", first);
  tracker.addData("wishlist", second);
  tracker.addData("basket", QXProduct());  // empty: writes nothing, still counts
  EXPECT_EQ(tracker.numberOfProducts(), 3);
  EXPECT_EQ(tracker.dynamicStore().orderedKeys(),
            (std::vector<std::string>{"basket[product_id][0]", "basket[product_price][0]",
                                      "wishlist[product_id][1]", "wishlist[colour][1]"}));
  EXPECT_EQ(tracker.getData("basket[product_price][0]"), "");

  tracker.clearData();
  EXPECT_EQ(tracker.numberOfProducts(), 0);
  tracker.addData("basket", second);
  EXPECT_EQ(tracker.getData("basket[product_id][0]"), "B2");
}

TEST_F(TrackerTest, ClearDataKeepsThePermanentData) {
  Quorvex tracker(1, 2);
  tracker.addData("hit", std::string("1"));
  tracker.addPermanentData("user", std::string("42"));
  tracker.clearData();
  EXPECT_EQ(tracker.getData("hit"), std::nullopt);
  EXPECT_EQ(tracker.getPermanentData("user"), "42");
  EXPECT_EQ(tracker.removePermanentData("user"), "42");
  EXPECT_EQ(tracker.getPermanentData("user"), std::nullopt);
}

TEST_F(TrackerTest, StartAndStopNotificationsSwitchTheStateWithoutALogLine) {
  Quorvex tracker(1, 2);
  qxtest::LogCapture log;
  post(kQXNotification_StoppingTheSDK);
  EXPECT_EQ(tracker.enableSDK(), 2);
  post("some other notification");
  EXPECT_EQ(tracker.enableSDK(), 2);
  post(kQXNotification_StartingTheSDK);
  EXPECT_EQ(tracker.enableSDK(), 1);
  EXPECT_TRUE(log.messagesAt(1).empty());
}

TEST_F(TrackerTest, AnotherCenterCarriesTheHitsButStartAndStopStillComeFromTheDefaultOne) {
  auto center = QXNotificationCenter::create();
  Quorvex tracker(1, 2, center);
  EXPECT_EQ(tracker.senderDelegate()->notificationCenter(), center);
  EXPECT_EQ(tracker.listenerDelegate()->notificationCenter(),
            QXNotificationCenter::defaultCenter());
  center->postNotification(
      QXNotification::notificationWithName(kQXNotification_StoppingTheSDK, nullptr));
  EXPECT_EQ(tracker.enableSDK(), 1);
  post(kQXNotification_StoppingTheSDK);
  EXPECT_EQ(tracker.enableSDK(), 2);
}

TEST_F(TrackerTest, TheTrackerKeepsItsCenterAliveAndStopsListeningWhenDestroyed) {
  std::weak_ptr<QXNotificationCenter> watched;
  {
    auto center = QXNotificationCenter::create();
    watched = center;
    Quorvex tracker(1, 2, center);
    center.reset();
    EXPECT_FALSE(watched.expired());
  }
  EXPECT_TRUE(watched.expired());
  EXPECT_EQ(QXNotificationCenter::defaultCenter()->observerCount(kQXNotification_StartingTheSDK),
            0u);
}

TEST_F(TrackerTest, RunningInBackgroundIsSwitchedOnForTheWholeProcess) {
  qxtest::LogCapture log;
  Quorvex tracker(1, 2);
  EXPECT_FALSE(QXNetworkManager::sharedInstance().isRunningInBackgroundEnabled());
  tracker.enableRunningInBackground();
  EXPECT_TRUE(QXNetworkManager::sharedInstance().isRunningInBackgroundEnabled());
  EXPECT_TRUE(QXCoreVariables::sharedInstance().enableSDKInBG());
  EXPECT_TRUE(log.contains(1, "SDK is enabled to run in background"));
}

TEST_F(TrackerTest, KeysAndValuesOfAnyBytesGoToTheStoreUnchanged) {
  Quorvex tracker(1, 2);
  const std::string key("\x00\xFF&=#+", 6);
  const std::string value(1 << 20, '\xC3');
  tracker.addData(key, value);
  tracker.addData("", std::string(""));
  EXPECT_EQ(tracker.getData(key), value);
  EXPECT_EQ(tracker.getData(""), "");
  tracker.addData(key, std::nullopt);
  EXPECT_EQ(tracker.getData(key), std::nullopt);
}

}  // namespace

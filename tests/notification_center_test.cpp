#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/QXEventListener.h"
#include "core/QXEventSender.h"
#include "platform/QXNotificationCenter.h"

namespace {

QXNotification named(const std::string& name) {
  return QXNotification::notificationWithName(name, nullptr);
}

TEST(NotificationCenter, DeliversByNameInTheOrderObserversWereAdded) {
  auto center = QXNotificationCenter::create();
  std::vector<std::string> calls;
  int first = 0, second = 0;
  center->addObserver(&first, "ping", [&](const QXNotification&) { calls.push_back("first"); });
  center->addObserver(&second, "ping", [&](const QXNotification&) { calls.push_back("second"); });
  center->addObserver(&first, "other", [&](const QXNotification&) { calls.push_back("other"); });
  center->postNotification(named("ping"));
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));
}

TEST(NotificationCenter, SenderObjectAndUserInfoReachTheObserver) {
  auto center = QXNotificationCenter::create();
  QXNotification seen;
  int owner = 0;
  center->addObserver(&owner, "n", [&](const QXNotification& n) { seen = n; });
  int sender = 0;
  center->postNotification(
      QXNotification::notificationWithName("n", &sender, QXUserInfo{{"k", "v"}}));
  EXPECT_EQ(seen.object, &sender);
  ASSERT_TRUE(seen.userInfo.has_value());
  EXPECT_EQ(seen.userInfo->at("k"), "v");
}

TEST(NotificationCenter, CentersAreIndependent) {
  auto a = QXNotificationCenter::create();
  auto b = QXNotificationCenter::create();
  int calls = 0;
  a->addObserver(&calls, "n", [&](const QXNotification&) { ++calls; });
  b->postNotification(named("n"));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(QXNotificationCenter::defaultCenter(), QXNotificationCenter::defaultCenter());
  EXPECT_NE(QXNotificationCenter::defaultCenter(), a);
}

TEST(NotificationCenter, RemovingOneNameKeepsTheOthers) {
  auto center = QXNotificationCenter::create();
  int owner = 0, a = 0, b = 0;
  center->addObserver(&owner, "a", [&](const QXNotification&) { ++a; });
  center->addObserver(&owner, "b", [&](const QXNotification&) { ++b; });
  center->removeObserver(&owner, "a");
  center->postNotification(named("a"));
  center->postNotification(named("b"));
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 1);
  center->removeObserver(&owner);
  center->postNotification(named("b"));
  EXPECT_EQ(b, 1);
  EXPECT_EQ(center->observerCount("b"), 0u);
}

TEST(NotificationCenter, ACallbackMayRemoveItselfAndObserversAddedDuringAPostWaitForTheNext) {
  auto center = QXNotificationCenter::create();
  int owner = 0, late = 0, calls = 0, lateCalls = 0;
  center->addObserver(&owner, "n", [&](const QXNotification&) {
    ++calls;
    center->removeObserver(&owner);  // must not deadlock on itself
    center->addObserver(&late, "n", [&](const QXNotification&) { ++lateCalls; });
  });
  center->postNotification(named("n"));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(lateCalls, 0);
  center->postNotification(named("n"));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(lateCalls, 1);
}

TEST(NotificationCenter, NoCallbackRunsAfterRemoveObserverReturnsEvenWhilePosting) {
  auto center = QXNotificationCenter::create();
  for (int round = 0; round < 200; ++round) {
    std::atomic<bool> removed{false};
    std::atomic<bool> lateCall{false};
    std::atomic<bool> stop{false};
    int owner = 0;
    center->addObserver(&owner, "n", [&](const QXNotification&) {
      if (removed.load()) lateCall.store(true);
    });
    std::thread poster([&] {
      while (!stop.load())
        center->postNotification(named("n"));
    });
    center->removeObserver(&owner);
    removed.store(true);
    for (int i = 0; i < 50; ++i)
      center->postNotification(named("n"));
    stop.store(true);
    poster.join();
    ASSERT_FALSE(lateCall.load()) << "round " << round;
  }
}

class RecordingDelegate : public IQXEventListenerDelegate {
 public:
  void changeNotificationCenter(std::shared_ptr<QXNotificationCenter>) override {}
  void onNotificationReceived(const QXNotification& n) override { names.push_back(n.name); }
  std::vector<std::string> names;
};

TEST(EventListener, DeliversListenedNamesToItsParentUntilDestroyed) {
  auto center = QXNotificationCenter::create();
  RecordingDelegate parent;
  {
    QXEventListener listener;
    listener.setParent(&parent);
    listener.setNotificationCenter(center);
    listener.listen("a");
    center->postNotification(named("a"));
    center->postNotification(named("b"));
  }
  center->postNotification(named("a"));
  EXPECT_EQ(parent.names, (std::vector<std::string>{"a"}));
  EXPECT_EQ(center->observerCount("a"), 0u);
}

TEST(EventListener, ChangingTheCenterMovesEveryObservation) {
  auto oldCenter = QXNotificationCenter::create();
  auto newCenter = QXNotificationCenter::create();
  RecordingDelegate parent;
  QXEventListener listener;
  listener.setParent(&parent);
  listener.setNotificationCenter(oldCenter);
  listener.listen("a");
  listener.listen("b");
  listener.setNotificationCenter(newCenter);
  oldCenter->postNotification(named("a"));
  newCenter->postNotification(named("a"));
  newCenter->postNotification(named("b"));
  EXPECT_EQ(parent.names, (std::vector<std::string>{"a", "b"}));
}

TEST(EventSender, PostsOnTheDefaultCenterUntilGivenAnother) {
  auto other = QXNotificationCenter::create();
  int onDefault = 0, onOther = 0, owner = 0;
  QXNotificationCenter::defaultCenter()->addObserver(&owner, "s",
                                                     [&](const QXNotification&) { ++onDefault; });
  other->addObserver(&owner, "s", [&](const QXNotification&) { ++onOther; });
  QXEventSender sender;
  sender.send(named("s"));
  sender.setNotificationCenter(other);
  sender.send(named("s"));
  EXPECT_EQ(onDefault, 1);
  EXPECT_EQ(onOther, 1);
  QXNotificationCenter::defaultCenter()->removeObserver(&owner);
}

}  // namespace

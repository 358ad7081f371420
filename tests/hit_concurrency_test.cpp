#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXPredefinedVariables.h"
#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/Quorvex.h"
#include "core/QXUserDefaults.h"
#include "platform/QXApplication.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"

namespace {

TEST(HitConcurrency, TheRegistryIsCreatedOnceWhenManyThreadsAskAtOnce) {
  QXFakePlatform::installNew();
  std::atomic<bool> go{false};
  std::vector<QXPredefinedVariables*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      while (!go.load())
        std::this_thread::yield();
      seen[i] = &QXPredefinedVariables::sharedInstance();
    });
  }
  go.store(true);
  for (auto& t : threads)
    t.join();
  for (auto* registry : seen)
    EXPECT_EQ(registry, seen[0]);
  EXPECT_EQ(QXUserDefaults::retrieveInfoFromUserDefaults(kQXPredefinedVariable_ColdStarts), "1");
}

TEST(HitConcurrency, TrackersOnSeveralThreadsHitWhileTheMainThreadPostsTransitions) {
  auto platform = QXFakePlatform::installNew();
  std::atomic<size_t> requests{0};
  std::atomic<bool> bodiesComplete{true};
  int owner = 0;
  QXNotificationCenter::defaultCenter()->addObserver(
      &owner, kQXNotification_HTTPRequest, [&](const QXNotification& n) {
        const std::string& body = n.userInfo->at(kQXUserInfo_POSTData);
        if (body.find("QX_NOW_MS=") == std::string::npos ||
            body.find("thread=") == std::string::npos) {
          bodiesComplete.store(false);
        }
        requests.fetch_add(1);
      });

  const uint64_t startMs = QXPredefinedVariables::sharedInstance().lastTime();
  constexpr int kThreads = 3;
  constexpr int kHitsPerThread = 200;
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Quorvex tracker(t + 1, 1);
      for (int i = 0; i < kHitsPerThread; ++i) {
        tracker.addData("thread", std::to_string(t));
        QXProduct product;
        product.setID(std::to_string(i));
        tracker.addData("basket", product);
        QXAppVars appVars;
        appVars.addData("hit", std::to_string(i));
        tracker.execute(appVars);
        platform->advanceMs(1);
      }
      running.fetch_sub(1);
    });
  }
  while (running.load() > 0) {
    QXApplication::didEnterBackground();
    platform->advanceMs(3);
    QXApplication::willEnterForeground();
  }
  for (auto& thread : threads)
    thread.join();
  QXNotificationCenter::defaultCenter()->removeObserver(&owner);

  EXPECT_EQ(requests.load(), static_cast<size_t>(kThreads * kHitsPerThread));
  EXPECT_TRUE(bodiesComplete.load());
  // Every millisecond the clock moved was counted once, in foreground or in background.
  const QXTimeState time = QXPredefinedVariables::sharedInstance().timeState();
  EXPECT_EQ(time.lastTime - startMs, time.totalForegroundTime + time.totalBackgroundTime);
}

TEST(HitConcurrency, DestroyingATrackerWhileAnotherThreadExecutesHitsIsSafe) {
  QXFakePlatform::installNew();
  qxtest::NotificationRecorder requests(QXNotificationCenter::defaultCenter(),
                                        kQXNotification_HTTPRequest);
  std::atomic<bool> stop{false};
  std::thread hitter([&] {
    Quorvex tracker(1, 1);
    while (!stop.load()) {
      tracker.addData("k", std::string("v"));
      tracker.sendData();
    }
  });
  for (int i = 0; i < 200; ++i) {
    auto other = std::make_unique<Quorvex>(2, 2);
    other->addData("x", std::string("y"));
    other->sendData();
    other.reset();
  }
  stop.store(true);
  hitter.join();
  size_t fromDestroyed = 0;
  for (const auto& request : requests.received()) {
    if (request.userInfo->at(kQXUserInfo_URLKey) == "https://collect2.quorvex.net/2/") {
      EXPECT_EQ(qxtest::fieldOf(request.userInfo->at(kQXUserInfo_POSTData), "x"), "y");
      ++fromDestroyed;
    }
  }
  EXPECT_EQ(fromDestroyed, 200u);
}

TEST(HitConcurrency, ReinitWhileOtherThreadsHitKeepsEveryBodyWellFormed) {
  QXFakePlatform::installNew();
  std::atomic<bool> stop{false};
  std::atomic<int> bodies{0};
  std::atomic<int> malformed{0};
  std::thread hitter([&] {
    Quorvex tracker(1, 1);
    while (!stop.load()) {
      const std::string body = tracker.getPostData(nullptr);
      bodies.fetch_add(1);
      for (const auto& [name, value] : qxtest::parseBody(body)) {
        if (name.empty()) malformed.fetch_add(1);
      }
      if (body.empty() || body.back() == '&') malformed.fetch_add(1);
    }
  });
  qxtest::LogCapture log;  // hits during a re-initialisation may find no visit yet
  while (bodies.load() == 0)
    std::this_thread::yield();
  for (int i = 0; i < 500 && bodies.load() < 200; ++i) {
    QXPredefinedVariables::sharedInstance().reinit();
  }
  stop.store(true);
  hitter.join();
  EXPECT_GT(bodies.load(), 0);
  EXPECT_EQ(malformed.load(), 0);
}

}  // namespace

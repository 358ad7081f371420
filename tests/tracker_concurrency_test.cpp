#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "QXSDK/Quorvex.h"
#include "core/QXCoreConstants.h"
#include "platform/QXFakePlatform.h"

namespace {

TEST(TrackerConcurrency, DestroyingTrackersWhileAnotherThreadPostsStartAndStopIsSafe) {
  QXFakePlatform::installNew();
  auto center = QXNotificationCenter::defaultCenter();
  std::atomic<bool> stop{false};
  std::thread poster([&] {
    bool starting = true;
    while (!stop.load()) {
      center->postNotification(QXNotification::notificationWithName(
          starting ? kQXNotification_StartingTheSDK : kQXNotification_StoppingTheSDK, nullptr));
      starting = !starting;
    }
  });
  for (int i = 0; i < 300; ++i) {
    auto tracker = std::make_unique<Quorvex>(i, i + 1);
    tracker->addData("k", std::string("v"));
    const int32_t state = tracker->enableSDK();
    EXPECT_TRUE(state == 1 || state == 2) << state;
    tracker.reset();
  }
  stop.store(true);
  poster.join();
  EXPECT_EQ(center->observerCount(kQXNotification_StartingTheSDK), 0u);
  EXPECT_EQ(center->observerCount(kQXNotification_StoppingTheSDK), 0u);
}

TEST(TrackerConcurrency, ProductsAddedFromTwoThreadsGetDistinctIndexes) {
  QXFakePlatform::installNew();
  Quorvex tracker(1, 2);
  QXProduct product;
  product.setID(std::string("p"));
  constexpr int kPerThread = 500;
  auto add = [&] {
    for (int i = 0; i < kPerThread; ++i)
      tracker.addData("basket", product);
  };
  std::thread first(add);
  std::thread second(add);
  first.join();
  second.join();
  EXPECT_EQ(tracker.numberOfProducts(), 2 * kPerThread);
  for (int i = 0; i < 2 * kPerThread; ++i) {
    ASSERT_EQ(tracker.getData("basket[product_id][" + std::to_string(i) + "]"), "p") << i;
  }
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/QXCoreConstants.h"
#include "core/QXNetworkManager.h"
#include "delivery_support.h"
#include "platform/QXFakePlatform.h"
#include "platform/QXNotificationCenter.h"
#include "support/TestSupport.h"
#include "tools/collector/QXCollector.h"

namespace {

using namespace std::chrono_literals;

class DeliveryConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qxtest::bypassProxiesForLoopback();
    auto platform = QXFakePlatform::installNew();
    platform->setDataDirectory(directory.path());
    ASSERT_TRUE(collector.start().ok());
  }

  static void post(const std::string& url, const std::string& body) {
    QXUserInfo userInfo;
    userInfo[kQXUserInfo_URLKey] = url;
    userInfo[kQXUserInfo_POSTData] = body;
    QXNotificationCenter::defaultCenter()->postNotification(
        QXNotification::notificationWithName(kQXNotification_HTTPRequest, nullptr, userInfo));
  }

  qxtest::TempDirectory directory;
  QXCollector collector;
};

// Several threads post while the worker drains over several connections and
// other threads flip the background state, change options and read the
// counters: every hit arrives once, and the counters add up.
TEST_F(DeliveryConcurrencyTest, PostersWorkerAndControllersShareTheManagerSafely) {
  QXNetworkManager& manager = QXNetworkManager::sharedInstance();
  QXDeliveryOptions options = manager.options();
  options.maxConnections = 3;
  options.parallelBacklog = 2;
  manager.setOptions(options);
  std::atomic<uint64_t> outcomes{0};
  manager.setOutcomeCallback([&](const QXHitOutcome&) { outcomes.fetch_add(1); });

  constexpr int kPosters = 3;
  constexpr int kPerPoster = 150;
  std::atomic<bool> posting{true};
  std::vector<std::thread> posters;
  for (int t = 0; t < kPosters; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerPoster; ++i)
        post(collector.url("/7/"), "t=" + std::to_string(t) + "&i=" + std::to_string(i));
    });
  }
  std::thread controller([&] {
    int round = 0;
    while (posting.load()) {
      const char* state =
          (round++ % 2) ? kQXNotification_OnForeground : kQXNotification_OnBackground;
      QXNotificationCenter::defaultCenter()->postNotification(
          QXNotification::notificationWithName(state, nullptr));
      QXDeliveryOptions changed = manager.options();
      changed.requestTimeout = std::chrono::milliseconds(10000 + round);
      manager.setOptions(changed);
      (void)manager.counters();
      (void)manager.pause();
      manager.flush(1ms);
    }
  });
  for (auto& poster : posters)
    poster.join();
  posting = false;
  controller.join();
  QXNotificationCenter::defaultCenter()->postNotification(
      QXNotification::notificationWithName(kQXNotification_OnForeground, nullptr));
  ASSERT_TRUE(manager.flush(60s));

  std::vector<std::string> bodies;
  for (const auto& request : collector.requests())
    bodies.push_back(request.body);
  std::sort(bodies.begin(), bodies.end());
  EXPECT_EQ(bodies.size(), static_cast<size_t>(kPosters * kPerPoster));
  EXPECT_EQ(std::unique(bodies.begin(), bodies.end()), bodies.end());
  const QXDeliveryCounters counters = manager.counters();
  EXPECT_EQ(counters.queued, static_cast<uint64_t>(kPosters * kPerPoster));
  EXPECT_EQ(counters.sent, counters.queued);
  EXPECT_EQ(outcomes.load(), counters.sent);
  manager.setOutcomeCallback(nullptr);
}

}  // namespace

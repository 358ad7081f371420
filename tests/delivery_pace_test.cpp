// What delivery costs a host and how it keeps its pace: the wake-ups of a
// hit now and then and of an idle process, the host's signals, a collector
// that fails a share of requests, and one that hangs beside a healthy one.
// Each case runs in a process of its own, with the process's delivery.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "QXSDK/Quorvex.h"
#include "core/QXNetworkManager.h"
#include "delivery_support.h"
#include "platform/QXFakePlatform.h"
#include "support/TestSupport.h"
#include "tools/collector/QXCollector.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The voluntary context switches of this process's threads named "qx-":
// each is the SDK's thread going to sleep and being woken again.
uint64_t wakeUpsOfTheSDK() {
  uint64_t total = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  while (const dirent* task = ::readdir(tasks)) {
    const std::string base = std::string("/proc/self/task/") + task->d_name;
    std::ifstream comm(base + "/comm");
    std::string name;
    if (!std::getline(comm, name) || name.rfind("qx-", 0) != 0) continue;
    std::ifstream status(base + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
        total += std::stoull(line.substr(line.find(':') + 1));
    }
  }
  ::closedir(tasks);
  return total;
}

class DeliveryPaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qxtest::bypassProxiesForLoopback();
    QXFakePlatform::installNew()->setDataDirectory(directory.path());
    ASSERT_TRUE(collector.start().ok());
  }

  QXNetworkManager& manager(int maxConnections = 4) {
    QXNetworkManager& manager = QXNetworkManager::sharedInstance();
    QXDeliveryOptions options = manager.options();
    options.maxConnections = maxConnections;
    options.initialRetryDelay = 20ms;
    options.maxRetryDelay = 200ms;
    manager.setOptions(options);
    return manager;
  }

  qxtest::TempDirectory directory;
  QXCollector collector;
};

// One hit every half second, online: each goes out within 50 ms, and wakes
// the SDK's thread a few times; idle, the thread is never woken.
TEST_F(DeliveryPaceTest, AHitNowAndThenWakesTheSDKAFewTimesAndIdleNever) {
  QXNetworkManager& delivery = manager();
  Quorvex tracker(1, 1);
  tracker.setUrl(collector.url("/7/"));
  tracker.sendData();  // the first sets curl and the outbox up
  ASSERT_TRUE(delivery.flush(10s));
  constexpr int kHits = 6;
  std::vector<uint64_t> wakeUps;
  std::vector<Clock::duration> latencies;
  for (int i = 0; i < kHits; ++i) {
    std::this_thread::sleep_for(500ms);  // the application's pace, not a wait
    const uint64_t before = wakeUpsOfTheSDK();
    const auto executed = Clock::now();
    tracker.sendData();
    ASSERT_TRUE(collector.waitForRequests(static_cast<size_t>(i) + 2, 5s));
    latencies.push_back(Clock::now() - executed);
    std::this_thread::sleep_for(400ms);  // what the hit leads to happens meanwhile
    wakeUps.push_back(wakeUpsOfTheSDK() - before);
  }
  std::sort(wakeUps.begin(), wakeUps.end());
  std::sort(latencies.begin(), latencies.end());
  std::printf("wake-ups a hit (sorted): %s; median delivery %.2f ms\n",
              ::testing::PrintToString(wakeUps).c_str(),
              std::chrono::duration<double, std::milli>(latencies[kHits / 2]).count());
  EXPECT_LE(wakeUps[kHits / 2], 5u) << ::testing::PrintToString(wakeUps);
  EXPECT_LT(latencies[kHits / 2], 50ms);
  const uint64_t idleFrom = wakeUpsOfTheSDK();
  std::this_thread::sleep_for(2s);  // an idle stretch, measured
  EXPECT_EQ(wakeUpsOfTheSDK() - idleFrom, 0u);
}

// A host that blocks SIGTERM in its threads and takes it with sigwait() in
// one of its own gets it, though the SDK's thread started before the host
// blocked it: the SDK's threads block every asynchronous signal. Were the
// signal taken by any other thread, the process would end with it.
TEST(DeliverySignalsTest, TheHostsSignalsGoToTheHostsThreads) {
  qxtest::bypassProxiesForLoopback();
  qxtest::TempDirectory directory;
  QXFakePlatform::installNew()->setDataDirectory(directory.path());
  QXNetworkManager& delivery = QXNetworkManager::sharedInstance();  // starts its thread
  sigset_t terminate;
  sigemptyset(&terminate);
  sigaddset(&terminate, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &terminate, nullptr), 0);
  QXCollector collector;  // the host's threads from here on block it too
  ASSERT_TRUE(collector.start().ok());
  Quorvex tracker(1, 1);
  tracker.setUrl(collector.url("/7/"));
  tracker.sendData();
  ASSERT_TRUE(delivery.flush(10s));
  std::atomic<int> taken{0};
  std::thread waiter([&] {
    int signal = 0;
    if (sigwait(&terminate, &signal) == 0) taken = signal;
  });
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
  waiter.join();
  EXPECT_EQ(taken.load(), SIGTERM);
  tracker.sendData();
  EXPECT_TRUE(delivery.flush(10s));
  ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &terminate, nullptr), 0);
}

// A collector that answers 503 to one request in five: every hit arrives,
// each failure costs only its own hit a retry, and the collector is never
// held as a whole.
TEST_F(DeliveryPaceTest, ACollectorFailingAShareOfRequestsGetsEveryHit) {
  std::atomic<size_t> answered{0};
  collector.setResponder([&](const QXCollector::Request&, size_t index) {
    ++answered;
    return QXCollector::Response::withStatus(index % 5 == 4 ? 503 : 200);
  });
  QXNetworkManager& delivery = manager();
  Quorvex tracker(1, 1);
  tracker.setUrl(collector.url("/7/"));
  constexpr int kHits = 2000;
  for (int i = 0; i < kHits; ++i) {
    tracker.addData("n", std::to_string(i));
    tracker.sendData();
  }
  ASSERT_TRUE(delivery.flush(60s));
  const QXDeliveryCounters counters = delivery.counters();
  EXPECT_EQ(counters.sent, static_cast<uint64_t>(kHits));
  EXPECT_EQ(counters.dropped, 0u);
  // A fifth of the requests, and then a fifth of those, failed: no request
  // was held back and lost to a hold of the whole collector.
  EXPECT_EQ(counters.retried, answered.load() - kHits);
  EXPECT_LT(counters.retried, static_cast<uint64_t>(kHits) * 3 / 10);
}

// Two collectors, one of which takes connections and never answers: every
// hit to the other goes out at once and in order, whatever the first does.
TEST_F(DeliveryPaceTest, ACollectorThatHangsCostsAnotherCollectorsHitsNothing) {
  QXCollector hanging;
  hanging.setResponder(
      [](const QXCollector::Request&, size_t) { return QXCollector::Response::never(); });
  ASSERT_TRUE(hanging.start().ok());
  std::mutex mutex;
  std::map<std::string, Clock::time_point> arrived;
  collector.setListener([&](const QXCollector::Request& request, size_t) {
    std::lock_guard<std::mutex> lock(mutex);
    arrived[qxtest::fieldOf(request.body, "n").value_or("?")] = Clock::now();
  });
  QXNetworkManager& delivery = manager(1);
  Quorvex stuck(1, 1);
  stuck.setUrl(hanging.url("/7/"));
  Quorvex healthy(2, 2);
  healthy.setUrl(collector.url("/7/"));
  std::vector<Clock::time_point> executed;
  constexpr int kHits = 30;
  for (int i = 0; i < kHits; ++i) {
    stuck.sendData();
    executed.push_back(Clock::now());
    healthy.addData("n", std::to_string(i));
    healthy.sendData();
    std::this_thread::sleep_for(10ms);  // the application's pace
  }
  ASSERT_TRUE(collector.waitForRequests(kHits, 10s));
  std::vector<std::string> order;
  for (const auto& request : collector.requests())
    order.push_back(qxtest::fieldOf(request.body, "n").value_or("?"));
  std::vector<std::string> expected;
  for (int i = 0; i < kHits; ++i)
    expected.push_back(std::to_string(i));
  EXPECT_EQ(order, expected);
  std::lock_guard<std::mutex> lock(mutex);
  for (int i = 0; i < kHits; ++i)
    EXPECT_LT(arrived[std::to_string(i)] - executed[i], 1s) << i;
  EXPECT_FALSE(delivery.flush(0ms));  // the stuck ones still wait
}

}  // namespace

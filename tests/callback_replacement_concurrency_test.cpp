// A host's callback replaced while another thread runs it: the replacement
// returns only once the old callback has returned, so that the host may free
// what it uses, except from inside the callback itself, where waiting would
// never end. The slot that gives the promise, then each setter built on it.
// A callback is held running on a gate, never by sleeping.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/QXCallbackSlot.h"
#include "core/QXCoreConstants.h"
#include "core/QXLogger.h"
#include "core/QXNetworkManager.h"
#include "delivery_support.h"
#include "platform/QXFakePlatform.h"
#include "platform/QXNotificationCenter.h"
#include "support/TestSupport.h"
#include "tools/collector/QXCollector.h"

namespace {

using Callback = std::shared_ptr<const std::function<void()>>;

Callback callbackOf(std::function<void()> body) {
  return std::make_shared<const std::function<void()>>(std::move(body));
}

bool runIn(QXCallbackSlot<Callback>& slot) {
  return slot.call([](const Callback& callback) { (*callback)(); });
}

TEST(CallbackSlotTest, ReplacementWaitsForTheCallOfTheCallbackItReplaced) {
  QXCallbackSlot<Callback> slot;
  qxtest::Gate entered, release;
  std::atomic<bool> replaced{false};
  std::atomic<int> calls{0};
  slot.set(callbackOf([&] {
    // The first call holds on; probes made before the swap pass through.
    if (calls++ > 0) return;
    entered.open();
    EXPECT_TRUE(release.waitOpen());
  }));

  std::thread caller([&] { EXPECT_TRUE(runIn(slot)); });
  ASSERT_TRUE(entered.waitOpen());
  std::thread replacer([&] {
    slot.set(nullptr);
    replaced = true;
  });
  // Once a new call finds the slot empty, the replacement has swapped the
  // callbacks and waits: the first call is still running.
  ASSERT_TRUE(qxtest::eventually([&] { return !runIn(slot); }));
  EXPECT_FALSE(replaced.load());
  release.open();
  replacer.join();
  caller.join();
  EXPECT_TRUE(replaced.load());
}

TEST(CallbackSlotTest, ReplacementFromInsideTheCallbackInstallsWithoutWaitingForItself) {
  QXCallbackSlot<Callback> slot;
  int firstRuns = 0;
  int secondRuns = 0;
  slot.set(callbackOf([&] {
    ++firstRuns;
    EXPECT_TRUE(slot.isCalling());
    // The running callback is this call's own copy: replacing it here
    // destroys nothing that runs.
    slot.set(callbackOf([&] { ++secondRuns; }));
  }));
  EXPECT_FALSE(slot.isCalling());
  EXPECT_TRUE(runIn(slot));
  EXPECT_TRUE(runIn(slot));
  EXPECT_EQ(firstRuns, 1);
  EXPECT_EQ(secondRuns, 1);
}

TEST(CallbackSlotTest, ACallInsideAnotherSlotsCallIsNotInsideThisOne) {
  QXCallbackSlot<Callback> outer, inner;
  bool insideOuter = false, insideInner = true;
  inner.set(callbackOf([&] { insideOuter = outer.isCalling(); }));
  outer.set(callbackOf([&] {
    insideInner = inner.isCalling();
    runIn(inner);
  }));
  EXPECT_TRUE(runIn(outer));
  EXPECT_FALSE(insideInner);
  EXPECT_TRUE(insideOuter);
}

TEST(CallbackSlotTest, ACallbackThatThrowsIsUncountedAndReplaceable) {
  QXCallbackSlot<Callback> slot;
  slot.set(callbackOf([] { throw std::runtime_error("host"); }));
  EXPECT_THROW(runIn(slot), std::runtime_error);
  EXPECT_FALSE(slot.isCalling());
  slot.set(nullptr);  // would wait for good if the call were still counted
  EXPECT_FALSE(runIn(slot));
}

// The logger's sink, replaced while a thread is inside it.
class LogSinkReplacementTest : public ::testing::Test {
 protected:
  void TearDown() override { QXLogger::sharedInstance().setSink(nullptr); }
};

TEST_F(LogSinkReplacementTest, SetSinkReturnsOnceTheSinkItReplacedHasReturned) {
  QXLogger& logger = QXLogger::sharedInstance();
  qxtest::Gate entered, release;
  std::atomic<int> heardByNewSink{0};
  std::atomic<bool> replaced{false};
  logger.setSink([&](int, const std::string& message) {
    if (message != "blocking") return;
    entered.open();
    EXPECT_TRUE(release.waitOpen());
  });
  std::thread logging([&] { logger.logMessage("blocking", 4); });
  ASSERT_TRUE(entered.waitOpen());
  std::thread replacer([&] {
    logger.setSink([&](int, const std::string&) { ++heardByNewSink; });
    replaced = true;
  });
  ASSERT_TRUE(qxtest::eventually([&] {
    logger.logMessage("probe", 4);
    return heardByNewSink.load() > 0;
  }));
  EXPECT_FALSE(replaced.load());
  release.open();
  replacer.join();
  logging.join();
  EXPECT_TRUE(replaced.load());
}

TEST_F(LogSinkReplacementTest, ASinkReplacingItselfDoesNotWaitForItself) {
  QXLogger& logger = QXLogger::sharedInstance();
  std::atomic<int> heardAfterwards{0};
  logger.setSink([&](int, const std::string&) {
    QXLogger::sharedInstance().setSink([&](int, const std::string&) { ++heardAfterwards; });
  });
  logger.logMessage("replace yourself", 4);
  logger.logMessage("to the new sink", 4);
  EXPECT_EQ(heardAfterwards.load(), 1);
}

// The delivery's outcome callback, on the thread that refuses a hit and on
// the delivery thread.
class OutcomeCallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qxtest::bypassProxiesForLoopback();
    QXFakePlatform::installNew()->setDataDirectory(directory.path());
  }
  void TearDown() override { QXNetworkManager::sharedInstance().setOutcomeCallback(nullptr); }

  qxtest::TempDirectory directory;
};

TEST_F(OutcomeCallbackTest, SetOutcomeCallbackReturnsOnceTheCallbackItReplacedHasReturned) {
  QXNetworkManager& delivery = QXNetworkManager::sharedInstance();
  qxtest::Gate entered, release;
  std::atomic<int> heardByNewCallback{0};
  std::atomic<bool> replaced{false};
  delivery.setOutcomeCallback([&](const QXHitOutcome& outcome) {
    if (outcome.reason != "blocking") return;
    entered.open();
    EXPECT_TRUE(release.waitOpen());
  });
  // A refused hit is told on the refusing thread.
  std::thread refusing([&] { delivery.refuseHit("http://127.0.0.1/7/", "blocking"); });
  ASSERT_TRUE(entered.waitOpen());
  std::thread replacer([&] {
    delivery.setOutcomeCallback([&](const QXHitOutcome&) { ++heardByNewCallback; });
    replaced = true;
  });
  ASSERT_TRUE(qxtest::eventually([&] {
    delivery.refuseHit("http://127.0.0.1/7/", "probe");
    return heardByNewCallback.load() > 0;
  }));
  EXPECT_FALSE(replaced.load());
  release.open();
  replacer.join();
  refusing.join();
  EXPECT_TRUE(replaced.load());
}

TEST_F(OutcomeCallbackTest, ACallbackReplacingItselfDoesNotWaitForItself) {
  QXNetworkManager& delivery = QXNetworkManager::sharedInstance();
  std::atomic<int> heardAfterwards{0};
  delivery.setOutcomeCallback([&](const QXHitOutcome&) {
    QXNetworkManager::sharedInstance().setOutcomeCallback(
        [&](const QXHitOutcome&) { ++heardAfterwards; });
  });
  delivery.refuseHit("http://127.0.0.1/7/", "replace yourself");
  delivery.refuseHit("http://127.0.0.1/7/", "to the new callback");
  EXPECT_EQ(heardAfterwards.load(), 1);
}

TEST_F(OutcomeCallbackTest, FlushFromInsideTheCallbackReturnsFalseAtOnceOnEveryThread) {
  QXCollector collector;
  ASSERT_TRUE(collector.start().ok());
  qxtest::LogCapture log;
  QXNetworkManager& delivery = QXNetworkManager::sharedInstance();
  struct Heard {
    QXHitOutcome::Result result;
    bool flushed;
    std::chrono::steady_clock::duration took;
  };
  std::mutex mutex;
  std::vector<Heard> heard;
  delivery.setOutcomeCallback([&](const QXHitOutcome& outcome) {
    const auto started = std::chrono::steady_clock::now();
    const bool flushed = QXNetworkManager::sharedInstance().flush(std::chrono::seconds(30));
    std::lock_guard<std::mutex> lock(mutex);
    heard.push_back({outcome.result, flushed, std::chrono::steady_clock::now() - started});
  });
  delivery.refuseHit(collector.url("/7/"), "refused");  // told on this thread
  QXUserInfo userInfo;
  userInfo[kQXUserInfo_URLKey] = collector.url("/7/");
  userInfo[kQXUserInfo_POSTData] = "page=home";
  QXNotificationCenter::defaultCenter()->postNotification(
      QXNotification::notificationWithName(kQXNotification_HTTPRequest, nullptr, userInfo));
  // Told on the delivery thread; a flush there would hold delivery for 30 s.
  ASSERT_TRUE(delivery.flush(std::chrono::seconds(10)));
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].result, QXHitOutcome::Result::kDropped);
  EXPECT_EQ(heard[1].result, QXHitOutcome::Result::kDelivered);
  for (const Heard& each : heard) {
    EXPECT_FALSE(each.flushed);
    EXPECT_LT(each.took, std::chrono::seconds(5));
  }
  EXPECT_EQ(log.messagesAt(4).size(), 1u);
  EXPECT_TRUE(log.contains(4, "flush() called from the outcome callback returns false at once"));
}

}  // namespace

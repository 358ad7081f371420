#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "QXSDK/Quorvex.h"
#include "core/QXCoreConstants.h"
#include "core/QXNetworkManager.h"
#include "delivery_support.h"
#include "platform/QXFakePlatform.h"
#include "platform/QXNotificationCenter.h"
#include "support/TestSupport.h"
#include "tools/collector/QXCollector.h"

namespace {

using namespace std::chrono_literals;

// The network manager of this process (each test case runs in a process of
// its own) against a collector on 127.0.0.1, with hits posted as trackers
// post them.
class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qxtest::bypassProxiesForLoopback();
    platform = QXFakePlatform::installNew();
    platform->setDataDirectory(directory.path());
    ASSERT_TRUE(collector.start().ok());
  }

  QXNetworkManager& manager() {
    QXNetworkManager& manager = QXNetworkManager::sharedInstance();
    QXDeliveryOptions options = manager.options();
    options.maxConnections = 1;
    options.initialRetryDelay = 5ms;
    options.maxRetryDelay = 20ms;
    options.reachabilityInterval = 5ms;
    manager.setOptions(options);
    return manager;
  }

  static void post(const std::string& url, const std::string& body, bool consent = false) {
    QXUserInfo userInfo;
    userInfo[kQXUserInfo_URLKey] = url;
    userInfo[kQXUserInfo_POSTData] = body;
    if (consent) userInfo[kQXUserInfo_ResponseKey] = "Consent";
    QXNotificationCenter::defaultCenter()->postNotification(
        QXNotification::notificationWithName(kQXNotification_HTTPRequest, nullptr, userInfo));
  }
  static void postState(const char* name) {
    QXNotificationCenter::defaultCenter()->postNotification(
        QXNotification::notificationWithName(name, nullptr));
  }

  std::vector<std::string> bodies() const {
    std::vector<std::string> bodies;
    for (const auto& request : collector.requests())
      bodies.push_back(request.body);
    return bodies;
  }

  qxtest::TempDirectory directory;
  std::shared_ptr<QXFakePlatform> platform;
  QXCollector collector;
};

TEST_F(DeliveryTest, BodiesArriveByteForByte) {
  QXNetworkManager& delivery = manager();
  std::string everyByte;
  for (int c = 0; c < 256; ++c)
    everyByte.push_back(static_cast<char>(c));
  std::string form;
  for (int i = 0; form.size() < 3500; ++i)
    form += (i ? "&" : "") + std::string("%23QX_VARIABLE_") + std::to_string(i) + "%23=value%20" +
            std::to_string(i);
  post(collector.url("/7/"), everyByte);
  post(collector.url("/7/"), form);
  post(collector.url("/7/"), "");
  ASSERT_TRUE(delivery.flush(10s));
  EXPECT_EQ(bodies(), (std::vector<std::string>{everyByte, form, ""}));
  for (const auto& request : collector.requests()) {
    EXPECT_EQ(request.target, "/7/");
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_FALSE(request.header("X-Quorvex-Hit-Id").empty());
  }
  const QXDeliveryCounters counters = delivery.counters();
  EXPECT_EQ(counters.queued, 3u);
  EXPECT_EQ(counters.sent, 3u);
  EXPECT_EQ(counters.pending, 0u);
}

TEST_F(DeliveryTest, AServerThatIsDownAndThenUpReceivesEveryHitInOrder) {
  QXNetworkManager& delivery = manager();
  const uint16_t port = qxtest::closedPort();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/7/";
  for (int i = 0; i < 20; ++i)
    post(url, "n=" + std::to_string(i));
  ASSERT_TRUE(qxtest::eventually([&] { return delivery.counters().retried >= 2; }));
  EXPECT_EQ(delivery.counters().pending, 20u);
  QXCollector::Options options;
  options.port = port;
  QXCollector late(options);
  ASSERT_TRUE(late.start().ok());
  ASSERT_TRUE(delivery.flush(10s));
  std::vector<std::string> expected;
  for (int i = 0; i < 20; ++i)
    expected.push_back("n=" + std::to_string(i));
  std::vector<std::string> received;
  for (const auto& request : late.requests())
    received.push_back(request.body);
  EXPECT_EQ(received, expected);
}

TEST_F(DeliveryTest, ServerErrorsAndThrottlingAreRetriedAndABadRequestIsDropped) {
  qxtest::LogCapture log;
  QXNetworkManager& delivery = manager();
  std::mutex mutex;
  std::map<std::string, int> attempts;
  collector.setResponder([&](const QXCollector::Request& request, size_t) {
    std::lock_guard<std::mutex> lock(mutex);
    const int attempt = ++attempts[request.body];
    if (request.body == "bad") return QXCollector::Response::withStatus(400);
    if (request.body == "first" && attempt == 1) return QXCollector::Response::withStatus(500);
    if (request.body == "second" && attempt == 1) return QXCollector::Response::withStatus(429);
    return QXCollector::Response::withStatus(200);
  });
  post(collector.url("/7/"), "first");
  post(collector.url("/7/"), "second");
  post(collector.url("/7/"), "bad");
  post(collector.url("/7/"), "last");
  ASSERT_TRUE(delivery.flush(10s));
  // Each first attempt in order; the two that failed came again.
  const std::vector<std::string> sent = bodies();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "first"), 2);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "second"), 2);
  // The retry of "first" waits its own backoff, which a slow machine (an
  // emulator) may see run out before the later hits' first attempts.
  auto firstAttempt = [&](const char* body) {
    return std::find(sent.begin(), sent.end(), body) - sent.begin();
  };
  EXPECT_EQ(firstAttempt("first"), 0);
  EXPECT_LT(firstAttempt("second"), firstAttempt("bad"));
  EXPECT_LT(firstAttempt("bad"), firstAttempt("last"));
  const QXDeliveryCounters counters = delivery.counters();
  EXPECT_EQ(counters.sent, 3u);
  EXPECT_EQ(counters.retried, 2u);
  EXPECT_EQ(counters.dropped, 1u);
  EXPECT_TRUE(log.contains(4, "dropped: the server answered 400"));
}

TEST_F(DeliveryTest, TheOutboxBoundDropsTheOldest) {
  qxtest::LogCapture log;
  QXNetworkManager& delivery = manager();
  QXDeliveryOptions options = delivery.options();
  options.maxQueuedHits = 3;
  delivery.setOptions(options);
  postState(kQXNotification_OnBackground);
  for (int i = 0; i < 6; ++i)
    post(collector.url("/7/"), "n=" + std::to_string(i));
  // The counter moves before the warning is written: wait for both.
  ASSERT_TRUE(qxtest::eventually(
      [&] { return delivery.counters().dropped == 3 && !log.messagesAt(3).empty(); }));
  postState(kQXNotification_OnForeground);
  ASSERT_TRUE(delivery.flush(10s));
  EXPECT_EQ(bodies(), (std::vector<std::string>{"n=3", "n=4", "n=5"}));
}

// A hit over maxHitBytes, from a tracker (refused before its body is
// rendered) or posted as a request, is refused whole: counted as dropped,
// told to the outcome callback, and said at level 4 with its size and the
// limit. One below the limit goes out like any other.
TEST_F(DeliveryTest, AHitOverTheSizeLimitIsRefusedWithItsSizeAndOneBelowItIsKept) {
  qxtest::LogCapture log;
  QXNetworkManager& delivery = manager();
  QXDeliveryOptions options = delivery.options();
  options.maxHitBytes = 20000;
  delivery.setOptions(options);
  std::mutex mutex;
  std::vector<QXHitOutcome> dropped;
  delivery.setOutcomeCallback([&](const QXHitOutcome& outcome) {
    std::lock_guard<std::mutex> lock(mutex);
    if (outcome.result == QXHitOutcome::Result::kDropped) dropped.push_back(outcome);
  });
  Quorvex tracker(1, 1);
  tracker.setUrl(collector.url("/7/"));
  tracker.addData("big", std::string(30000, 'b'));
  tracker.sendData();
  post(collector.url("/7/"), "big=" + std::string(30000, 'c'));
  tracker.addData("small", std::string(5000, 's'));
  tracker.sendData();
  ASSERT_TRUE(delivery.flush(10s));

  ASSERT_EQ(collector.requests().size(), 1u);
  EXPECT_TRUE(qxtest::fieldOf(collector.requests()[0].body, "small").has_value());
  EXPECT_EQ(delivery.counters().dropped, 2u);
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(dropped.size(), 2u);
  const auto refusals = log.messagesAt(4);
  ASSERT_EQ(refusals.size(), 2u) << ::testing::PrintToString(refusals);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_NE(dropped[i].reason.find("too large"), std::string::npos) << dropped[i].reason;
    EXPECT_NE(refusals[i].find("the largest allowed being 20000"), std::string::npos)
        << refusals[i];
  }
  // The tracker's hit counts its predefined variables too; the posted one
  // is its URL and body.
  EXPECT_NE(refusals[1].find(std::to_string(collector.url("/7/").size() + 30004) + " bytes"),
            std::string::npos)
      << refusals[1];
}

TEST_F(DeliveryTest, TheOutcomeOfEachHitIsReportedWithTheIdentifierTheServerSaw) {
  QXNetworkManager& delivery = manager();
  std::mutex mutex;
  std::vector<QXHitOutcome> outcomes;
  delivery.setOutcomeCallback([&](const QXHitOutcome& outcome) {
    std::lock_guard<std::mutex> lock(mutex);
    outcomes.push_back(outcome);
  });
  post(collector.url("/7/"), "a=1");
  ASSERT_TRUE(delivery.flush(10s));
  delivery.setOutcomeCallback(nullptr);
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].result, QXHitOutcome::Result::kDelivered);
  EXPECT_EQ(outcomes[0].httpStatus, 200);
  EXPECT_EQ(outcomes[0].url, collector.url("/7/"));
  EXPECT_EQ(outcomes[0].hitIdentifier, collector.requests().at(0).header("X-Quorvex-Hit-Id"));
}

TEST_F(DeliveryTest, ConsecutiveHitsCarryIncreasingSequenceNumbers) {
  QXNetworkManager& delivery = manager();
  for (int i = 0; i < 3; ++i)
    post(collector.url("/7/"), "n=" + std::to_string(i));
  ASSERT_TRUE(delivery.flush(10s));
  long long previous = 0;
  std::string identity;
  for (const auto& request : collector.requests()) {
    const std::string identifier = request.header("X-Quorvex-Hit-Id");
    const size_t dash = identifier.rfind('-');
    ASSERT_NE(dash, std::string::npos);
    if (identity.empty()) identity = identifier.substr(0, dash);
    EXPECT_EQ(identifier.substr(0, dash), identity);
    const long long sequence = std::stoll(identifier.substr(dash + 1));
    EXPECT_GT(sequence, previous);
    previous = sequence;
  }
}

TEST_F(DeliveryTest, AConsentHitIsDeliveredLikeAnyOther) {
  QXNetworkManager& delivery = manager();
  post(collector.url("/7/"), "%23CONSENT_HIT%23=1", true);
  ASSERT_TRUE(delivery.flush(10s));
  EXPECT_EQ(bodies(), std::vector<std::string>{"%23CONSENT_HIT%23=1"});
}

TEST_F(DeliveryTest, ARequestWithoutAURLIsRefusedWithAnError) {
  qxtest::LogCapture log;
  QXNetworkManager& delivery = manager();
  QXUserInfo userInfo;
  userInfo[kQXUserInfo_POSTData] = "a=1";
  QXNotificationCenter::defaultCenter()->postNotification(
      QXNotification::notificationWithName(kQXNotification_HTTPRequest, nullptr, userInfo));
  QXNotificationCenter::defaultCenter()->postNotification(
      QXNotification::notificationWithName(kQXNotification_HTTPRequest, nullptr));
  EXPECT_EQ(log.messagesAt(4).size(), 2u);
  EXPECT_EQ(delivery.counters().queued, 0u);
  EXPECT_EQ(delivery.counters().dropped, 2u);
}

// Pausing while offline is the worker's (its tests fake the transport); a
// collector on this machine is the one kind that needs no network.
TEST_F(DeliveryTest, ACollectorOnThisMachineGetsItsHitsWithoutANetwork) {
  QXNetworkManager& delivery = manager();
  platform->removeInterface("en0");
  post(collector.url("/7/"), "a=1");
  post(collector.url("/7/"), "a=2");
  ASSERT_TRUE(delivery.flush(10s));
  EXPECT_EQ(bodies(), (std::vector<std::string>{"a=1", "a=2"}));
  EXPECT_EQ(delivery.pause(), QXDeliveryPause::kNone);
}

TEST_F(DeliveryTest, InBackgroundHitsWaitForTheForeground) {
  QXNetworkManager& delivery = manager();
  postState(kQXNotification_OnBackground);
  post(collector.url("/7/"), "a=1");
  ASSERT_TRUE(qxtest::eventually([&] { return delivery.pause() == QXDeliveryPause::kBackground; }));
  EXPECT_EQ(collector.requestCount(), 0u);
  postState(kQXNotification_OnForeground);
  ASSERT_TRUE(delivery.flush(10s));
  EXPECT_EQ(collector.requestCount(), 1u);
}

TEST_F(DeliveryTest, RunningInBackgroundSendsInBackgroundForTheRestOfTheProcess) {
  QXNetworkManager& delivery = manager();
  postState(kQXNotification_OnBackground);
  post(collector.url("/7/"), "a=1");
  ASSERT_TRUE(qxtest::eventually([&] { return delivery.pause() == QXDeliveryPause::kBackground; }));
  EXPECT_FALSE(delivery.isRunningInBackgroundEnabled());
  delivery.enableRunningInBackground();
  EXPECT_TRUE(delivery.isRunningInBackgroundEnabled());
  ASSERT_TRUE(delivery.flush(10s));
  postState(kQXNotification_OnForeground);
  postState(kQXNotification_OnBackground);
  post(collector.url("/7/"), "a=2");
  ASSERT_TRUE(delivery.flush(10s));
  EXPECT_EQ(bodies(), (std::vector<std::string>{"a=1", "a=2"}));
}

TEST_F(DeliveryTest, FlushSaysSoWhenTheOutboxDoesNotEmptyInTime) {
  QXNetworkManager& delivery = manager();
  post("http://127.0.0.1:" + std::to_string(qxtest::closedPort()) + "/7/", "a=1");
  EXPECT_FALSE(delivery.flush(100ms));
  EXPECT_EQ(delivery.counters().pending, 1u);
}

TEST_F(DeliveryTest, TheOutboxLivesInTheDataDirectory) {
  QXNetworkManager& delivery = manager();
  EXPECT_EQ(delivery.outboxPath(), directory.file("outbox.sqlite"));
  post(collector.url("/7/"), "a=1");
  EXPECT_TRUE(delivery.flush(10s));
  EXPECT_NE(qxtest::readFile(directory.file("outbox.sqlite")), "");
}

TEST_F(DeliveryTest, WithoutADataDirectoryHitsAreStillDeliveredFromMemory) {
  platform->setDataDirectory("");
  QXNetworkManager& delivery = manager();
  EXPECT_EQ(delivery.outboxPath(), "");
  post(collector.url("/7/"), "a=1");
  ASSERT_TRUE(delivery.flush(10s));
  EXPECT_EQ(bodies(), std::vector<std::string>{"a=1"});
}

TEST_F(DeliveryTest, ACorruptOutboxIsReplacedAndDeliveryGoesOn) {
  qxtest::writeFile(directory.file("outbox.sqlite"), "this is not a database, whatever it was");
  qxtest::LogCapture log;
  QXNetworkManager& delivery = manager();
  post(collector.url("/7/"), "a=1");
  ASSERT_TRUE(delivery.flush(10s));
  EXPECT_EQ(bodies(), std::vector<std::string>{"a=1"});
  EXPECT_TRUE(log.contains(4, "moved aside"));
}

TEST_F(DeliveryTest, TheManagerObservesRequestsOnTheDefaultCenterOnce) {
  manager();
  EXPECT_EQ(QXNotificationCenter::defaultCenter()->observerCount(kQXNotification_HTTPRequest), 1u);
}

}  // namespace

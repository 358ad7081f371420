#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>

#include "core/network/QXCurlSender.h"
#include "delivery_support.h"
#include "tools/collector/QXCollector.h"

namespace {

using namespace std::chrono_literals;

class CurlSenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qxtest::bypassProxiesForLoopback();
    ASSERT_TRUE(collector.start().ok());
  }

  QXHTTPRequest hit(const std::string& body, const std::string& identifier = "ID-1") {
    QXHTTPRequest request = QXBuildHitRequest(collector.url("/7/"), body, identifier, "Test/1");
    request.connectTimeout = 5s;
    request.totalTimeout = 10s;
    return request;
  }

  QXCollector collector;
  QXCurlSender sender;
};

// curl takes a long: 64 bits on x86-64 and arm64, 32 on 32-bit ARM, where
// 2^31 ms (under 25 days) wrapped to a negative timeout that curl
// refuses.
TEST(CurlTimeout, MillisecondsBeyondALongAreHeldAtItsLimitAndNegativeOnesAreNone) {
  constexpr long kLongMax = std::numeric_limits<long>::max();
  const struct {
    std::chrono::milliseconds timeout;
    long expected;
  } cases[] = {
      {0ms, 0},
      {1500ms, 1500},
      {-1ms, 0},
      {std::chrono::milliseconds::min(), 0},
      {std::chrono::milliseconds(int64_t{1} << 31),
       static_cast<long>(std::min<int64_t>(int64_t{1} << 31, kLongMax))},
      {std::chrono::milliseconds::max(), kLongMax},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QXCurlSender::timeoutMilliseconds(c.timeout), c.expected) << c.timeout.count();
  }
}

TEST_F(CurlSenderTest, PostsTheBodyByteForByteWithTheHitHeaders) {
  std::string body(3500, 'a');
  for (int c = 0; c < 256; ++c)
    body.push_back(static_cast<char>(c));
  const QXSendResult result = sender.send(hit(body, "6F1C-42"));
  ASSERT_EQ(result.kind, QXSendResult::Kind::kResponse) << result.error;
  EXPECT_EQ(result.status, 200);
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/7/");
  EXPECT_EQ(requests[0].body, body);
  EXPECT_EQ(requests[0].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(requests[0].header("X-Quorvex-Hit-Id"), "6F1C-42");
  EXPECT_EQ(requests[0].header("User-Agent"), "Test/1");
  // Nothing makes the sender wait for an interim answer before the body.
  EXPECT_EQ(requests[0].header("Expect"), "");
}

TEST_F(CurlSenderTest, OneConnectionIsKeptAliveAcrossRequests) {
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(sender.send(hit("n=" + std::to_string(i))).status, 200);
  EXPECT_EQ(collector.requestCount(), 5u);
  EXPECT_EQ(collector.connectionCount(), 1u);
}

TEST_F(CurlSenderTest, TheServersStatusAndRetryAfterComeBackAsTheyAre) {
  collector.setResponder([](const QXCollector::Request& request, size_t) {
    auto response = QXCollector::Response::withStatus(std::stoi(request.body));
    if (request.body == "429") response.headers.emplace_back("Retry-After", "7");
    return response;
  });
  EXPECT_EQ(sender.send(hit("500")).status, 500);
  EXPECT_EQ(sender.send(hit("400")).status, 400);
  const QXSendResult throttled = sender.send(hit("429"));
  EXPECT_EQ(throttled.status, 429);
  ASSERT_TRUE(throttled.retryAfterSeconds.has_value());
  EXPECT_EQ(*throttled.retryAfterSeconds, 7.0);
  EXPECT_FALSE(sender.send(hit("200")).retryAfterSeconds.has_value());
}

TEST_F(CurlSenderTest, RedirectsAreNotFollowed) {
  collector.setResponder([this](const QXCollector::Request&, size_t) {
    auto response = QXCollector::Response::withStatus(302);
    response.headers.emplace_back("Location", collector.url("/elsewhere/"));
    return response;
  });
  const QXSendResult result = sender.send(hit("a=1"));
  EXPECT_EQ(result.kind, QXSendResult::Kind::kResponse);
  EXPECT_EQ(result.status, 302);
  EXPECT_EQ(collector.requestCount(), 1u);
}

TEST_F(CurlSenderTest, ARefusedConnectionIsANetworkError) {
  QXHTTPRequest request = hit("a=1");
  request.url = "http://127.0.0.1:" + std::to_string(qxtest::closedPort()) + "/7/";
  const QXSendResult result = sender.send(request);
  EXPECT_EQ(result.kind, QXSendResult::Kind::kTransportError);
  EXPECT_FALSE(result.error.empty());
}

TEST_F(CurlSenderTest, OnlyHttpAndHttpsCanBeRequested) {
  for (const char* url : {"file:///etc/passwd", "ftp://127.0.0.1/", "gopher://127.0.0.1/"}) {
    QXHTTPRequest request = hit("a=1");
    request.url = url;
    EXPECT_EQ(sender.send(request).kind, QXSendResult::Kind::kInvalidRequest) << url;
  }
  QXHTTPRequest malformed = hit("a=1");
  malformed.url = "http://[::1";
  EXPECT_EQ(sender.send(malformed).kind, QXSendResult::Kind::kInvalidRequest);
}

TEST_F(CurlSenderTest, AServerThatNeverAnswersRunsIntoTheTotalTimeout) {
  collector.setResponder(
      [](const QXCollector::Request&, size_t) { return QXCollector::Response::never(); });
  QXHTTPRequest request = hit("a=1");
  request.totalTimeout = 200ms;
  const auto started = std::chrono::steady_clock::now();
  const QXSendResult result = sender.send(request);
  EXPECT_EQ(result.kind, QXSendResult::Kind::kTransportError);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 200ms);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST_F(CurlSenderTest, AbortEndsATransferUnderWayAtOnceAndEveryLaterOne) {
  collector.setResponder(
      [](const QXCollector::Request&, size_t) { return QXCollector::Response::never(); });
  std::thread aborter([&] {
    ASSERT_TRUE(collector.waitForRequests(1, 10s));
    sender.abort();
  });
  const auto started = std::chrono::steady_clock::now();
  const QXSendResult result = sender.send(hit("a=1"));
  aborter.join();
  EXPECT_EQ(result.kind, QXSendResult::Kind::kAborted);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(sender.send(hit("a=2")).kind, QXSendResult::Kind::kAborted);
  EXPECT_EQ(collector.requestCount(), 1u);
}

TEST_F(CurlSenderTest, AProxyNamedInTheEnvironmentIsUsed) {
  // The collector plays the proxy: the request for a host that does not
  // exist reaches it in absolute form.
  ::setenv("http_proxy", collector.url("").c_str(), 1);
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  QXHTTPRequest request = hit("a=1");
  request.url = "http://collect1.quorvex.invalid/7/";
  const QXSendResult result = sender.send(request);
  ::unsetenv("http_proxy");
  EXPECT_EQ(result.status, 200) << result.error;
  ASSERT_EQ(collector.requestCount(), 1u);
  EXPECT_EQ(collector.requests()[0].target, "http://collect1.quorvex.invalid/7/");
}

}  // namespace

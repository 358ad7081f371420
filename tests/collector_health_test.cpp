// What a collector's answers do to the hits that failed and to the
// collector, as a table of answer sequences: a failed hit backs off on its
// own, and the collector is held only when it fails as a whole.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "core/network/QXCollectorHealth.h"
#include "core/network/QXCurlResult.h"

namespace {

using namespace std::chrono_literals;
using Action = QXRetryDecision::Action;
using Clock = QXCollectorHealth::Clock;

QXSendResult status(int code, std::optional<double> retryAfter = std::nullopt) {
  return QXSendResult::response(code, retryAfter);
}
QXSendResult refused() {
  QXSendResult result = QXSendResult::failure(QXSendResult::Kind::kTransportError, "refused");
  result.beforeConnecting = true;
  return result;
}
QXSendResult cutShort() {
  return QXSendResult::failure(QXSendResult::Kind::kTransportError, "the answer was cut short");
}

struct Step {
  QXSendResult answer;
  int hitFailures;    // of the hit answered, this answer included
  Action action;      // what becomes of that hit
  int64_t hitWaitMs;  // its wait, for a retry
  bool heldAfter;     // the collector is held afterwards
};

TEST(CollectorHealthTest, AFailedHitBacksOffAloneUntilTheCollectorFailsAsAWhole) {
  QXRetryPolicy policy;  // 1 s doubling, no jitter below
  policy.jitter = 0;
  const QXSendResult timedOut = cutShort();
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"one request in five fails",
       {{status(503), 1, Action::kRetry, 1000, false},
        {status(200), 0, Action::kDelivered, 0, false},
        {status(200), 0, Action::kDelivered, 0, false},
        {status(503), 2, Action::kRetry, 2000, false},
        {status(200), 0, Action::kDelivered, 0, false}}},
      {"a hit unlucky again and again among answers that deliver waits no longer",
       {{status(200), 0, Action::kDelivered, 0, false},
        {status(503), 6, Action::kRetry, 4000, false},
        {status(200), 0, Action::kDelivered, 0, false},
        {status(503), 3, Action::kRetry, 4000, false},
        {status(503), 7, Action::kRetry, 4000, false},
        {status(503), 6, Action::kRetry, 32000, false},
        {status(200), 0, Action::kDelivered, 0, false},
        {timedOut, 9, Action::kRetry, 4000, false}}},
      {"seven failures in a row, then an answer",
       {{status(500), 1, Action::kRetry, 1000, false},
        {timedOut, 1, Action::kRetry, 1000, false},
        {status(502), 1, Action::kRetry, 1000, false},
        {status(503), 1, Action::kRetry, 1000, false},
        {status(408), 1, Action::kRetry, 1000, false},
        {status(429), 1, Action::kRetry, 1000, false},
        {status(500), 1, Action::kRetry, 1000, false},
        {status(204), 0, Action::kDelivered, 0, false},
        {status(500), 1, Action::kRetry, 1000, false}}},
      {"eight failures in a row hold the collector",
       {{status(500), 1, Action::kRetry, 1000, false},
        {status(500), 1, Action::kRetry, 1000, false},
        {status(500), 1, Action::kRetry, 1000, false},
        {status(500), 1, Action::kRetry, 1000, false},
        {status(500), 1, Action::kRetry, 1000, false},
        {status(500), 1, Action::kRetry, 1000, false},
        {status(500), 1, Action::kRetry, 1000, false},
        {status(500), 3, Action::kRetry, 4000, true}}},
      {"no connection: held at once, longer each time, until it answers",
       {{refused(), 1, Action::kRetry, 1000, true},
        {refused(), 2, Action::kRetry, 2000, true},
        {refused(), 1, Action::kRetry, 4000, true},
        {status(200), 0, Action::kDelivered, 0, false},
        {refused(), 1, Action::kRetry, 1000, true}}},
      {"Retry-After holds the collector as long as asked",
       {{status(503, 30.0), 1, Action::kRetry, 30000, true},
        {status(200), 0, Action::kDelivered, 0, false}}},
      {"a refusal for good says the collector is well",
       {{refused(), 1, Action::kRetry, 1000, true}, {status(400), 0, Action::kDrop, 0, false}}},
  };
  for (const Case& c : cases) {
    QXCollectorHealth health;
    Clock::time_point now{};
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      const std::string where = std::string(c.what) + ", step " + std::to_string(i + 1);
      // Each answer comes once whatever hold there was is over.
      now = std::max(now, health.heldUntil()) + 1ms;
      const QXRetryDecision decision =
          health.answered(step.answer, step.hitFailures, policy, 0.0, now);
      EXPECT_EQ(decision.action, step.action) << where;
      if (step.action == Action::kRetry) {
        EXPECT_EQ(decision.delay.count(), step.hitWaitMs) << where;
      }
      EXPECT_EQ(health.heldUntil() > now, step.heldAfter) << where;
    }
  }
}

// While held nothing goes; once the hold is over a single request probes the
// collector, and an answer that is not a failure opens it to as many as
// delivery wants.
TEST(CollectorHealthTest, AHeldCollectorIsProbedWithOneRequestAtATime) {
  QXRetryPolicy policy;
  policy.jitter = 0;
  QXCollectorHealth health;
  const Clock::time_point now{};
  EXPECT_TRUE(health.open(now, 3));
  health.answered(refused(), 1, policy, 0.0, now);
  EXPECT_FALSE(health.open(now + 500ms, 0));
  EXPECT_TRUE(health.open(now + 1s, 0));
  EXPECT_FALSE(health.open(now + 1s, 1));
  // A URL that cannot be requested says nothing of the collector.
  health.answered(QXSendResult::failure(QXSendResult::Kind::kInvalidRequest, "ftp"), 0, policy, 0.0,
                  now + 1s);
  EXPECT_FALSE(health.open(now + 1s, 1));
  health.answered(status(200), 0, policy, 0.0, now + 1s);
  EXPECT_TRUE(health.open(now + 1s, 3));
}

// Every result libcurl can end a transfer with, as delivery reads it: only a
// malformed URL can never be sent; an answer counts only with its whole
// head; what happened before any connection says so.
TEST(CurlResultTest, OnlyAMalformedURLIsForGoodAndOnlyAWholeAnswerIsAnAnswer) {
  for (int code = CURLE_OK; code < CURL_LAST; ++code) {
    QXCurlEnding ending;
    ending.code = static_cast<CURLcode>(code);
    ending.status = 200;
    ending.headEnded = true;
    ending.connected = true;
    const QXSendResult result = QXSendResultOf(ending);
    const std::string name = curl_easy_strerror(ending.code);
    if (code == CURLE_OK) {
      EXPECT_EQ(result.kind, QXSendResult::Kind::kResponse);
    } else if (code == CURLE_URL_MALFORMAT) {
      EXPECT_EQ(result.kind, QXSendResult::Kind::kInvalidRequest) << name;
    } else {
      EXPECT_EQ(result.kind, QXSendResult::Kind::kTransportError) << name;
    }
  }
  struct Case {
    const char* what;
    QXCurlEnding ending;
    QXSendResult::Kind kind;
    bool beforeConnecting;
    bool tls;
  };
  auto ending = [](CURLcode code, bool headEnded, bool connected) {
    QXCurlEnding e;
    e.code = code;
    e.status = 200;
    e.headEnded = headEnded;
    e.connected = connected;
    return e;
  };
  using Kind = QXSendResult::Kind;
  const Case cases[] = {
      {"a whole 200", ending(CURLE_OK, true, true), Kind::kResponse, false, false},
      {"a 200 cut off in its head", ending(CURLE_OK, false, true), Kind::kTransportError, false,
       false},
      {"another protocol on the port", ending(CURLE_UNSUPPORTED_PROTOCOL, false, true),
       Kind::kTransportError, false, false},
      {"a garbled status line", ending(CURLE_WEIRD_SERVER_REPLY, false, true),
       Kind::kTransportError, false, false},
      {"a body cut short", ending(CURLE_PARTIAL_FILE, true, true), Kind::kTransportError, false,
       false},
      {"refused", ending(CURLE_COULDNT_CONNECT, false, false), Kind::kTransportError, true, false},
      {"no such host", ending(CURLE_COULDNT_RESOLVE_HOST, false, false), Kind::kTransportError,
       true, false},
      {"a timeout before connecting", ending(CURLE_OPERATION_TIMEDOUT, false, false),
       Kind::kTransportError, true, false},
      {"a timeout waiting for the answer", ending(CURLE_OPERATION_TIMEDOUT, false, true),
       Kind::kTransportError, false, false},
      {"an untrusted certificate", ending(CURLE_PEER_FAILED_VERIFICATION, false, true),
       Kind::kTransportError, true, true},
      {"a malformed URL", ending(CURLE_URL_MALFORMAT, false, false), Kind::kInvalidRequest, false,
       false},
  };
  for (const Case& c : cases) {
    const QXSendResult result = QXSendResultOf(c.ending);
    EXPECT_EQ(result.kind, c.kind) << c.what;
    EXPECT_EQ(result.beforeConnecting, c.beforeConnecting) << c.what;
    EXPECT_EQ(result.tlsVerification, c.tls) << c.what;
  }
}

}  // namespace

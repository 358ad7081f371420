#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "core/network/QXRetryPolicy.h"

namespace {

using std::chrono::milliseconds;
using Action = QXRetryDecision::Action;

class RetryPolicyTest : public ::testing::Test {
 protected:
  static QXRetryPolicy withoutJitter() {
    QXRetryPolicy policy;
    policy.jitter = 0;
    return policy;
  }
  static QXSendResult status(int code, std::optional<double> retryAfter = std::nullopt) {
    return QXSendResult::response(code, retryAfter);
  }
};

TEST_F(RetryPolicyTest, TwoHundredsAreDelivered) {
  for (int code : {200, 201, 204, 299})
    EXPECT_EQ(QXClassifyStatus(code), Action::kDelivered) << code;
}

TEST_F(RetryPolicyTest, TimeoutsThrottlingRedirectsAndServerErrorsAreRetried) {
  for (int code : {408, 429, 300, 301, 302, 307, 308, 500, 502, 503, 504, 599})
    EXPECT_EQ(QXClassifyStatus(code), Action::kRetry) << code;
}

TEST_F(RetryPolicyTest, OtherClientErrorsAreDroppedForGood) {
  for (int code : {400, 401, 403, 404, 405, 410, 413, 414, 422, 499, 100})
    EXPECT_EQ(QXClassifyStatus(code), Action::kDrop) << code;
}

TEST_F(RetryPolicyTest, CodesOutsideHttpAreRetriedRatherThanLost) {
  EXPECT_EQ(QXClassifyStatus(0), Action::kRetry);
  EXPECT_EQ(QXClassifyStatus(600), Action::kRetry);
  EXPECT_EQ(QXClassifyStatus(-1), Action::kRetry);
}

TEST_F(RetryPolicyTest, NetworkErrorsAreRetriedAndImpossibleRequestsDropped) {
  const QXRetryPolicy policy;
  const auto network = QXSendResult::failure(QXSendResult::Kind::kTransportError, "refused");
  const auto invalid = QXSendResult::failure(QXSendResult::Kind::kInvalidRequest, "bad URL");
  EXPECT_EQ(policy.decide(1, network, 0.5).action, Action::kRetry);
  EXPECT_EQ(policy.decide(1, invalid, 0.5).action, Action::kDrop);
  EXPECT_EQ(policy.decide(1, invalid, 0.5).delay, milliseconds(0));
}

TEST_F(RetryPolicyTest, TheDelayDoublesFromTheInitialDelayUpToTheCap) {
  const QXRetryPolicy policy = withoutJitter();
  const auto failure = status(503);
  EXPECT_EQ(policy.decide(1, failure, 0.3).delay, milliseconds(1000));
  EXPECT_EQ(policy.decide(2, failure, 0.3).delay, milliseconds(2000));
  EXPECT_EQ(policy.decide(3, failure, 0.3).delay, milliseconds(4000));
  EXPECT_EQ(policy.decide(9, failure, 0.3).delay, milliseconds(256000));
  EXPECT_EQ(policy.decide(10, failure, 0.3).delay, milliseconds(300000));
  EXPECT_EQ(policy.decide(11, failure, 0.3).delay, milliseconds(300000));
}

TEST_F(RetryPolicyTest, AnOutageOfAnyLengthStaysAtTheCap) {
  const QXRetryPolicy policy = withoutJitter();
  EXPECT_EQ(policy.backoff(100000, 0.5), milliseconds(300000));
  EXPECT_EQ(policy.backoff(std::numeric_limits<int>::max(), 0.5), milliseconds(300000));
}

TEST_F(RetryPolicyTest, JitterSpreadsTheDelayOverItsUpperHalf) {
  const QXRetryPolicy policy;  // jitter 0.5
  EXPECT_EQ(policy.backoff(3, 0.0), milliseconds(2000));
  EXPECT_EQ(policy.backoff(3, 0.5), milliseconds(3000));
  EXPECT_EQ(policy.backoff(3, 0.999), milliseconds(3998));
  // Out-of-range randoms are clamped, never stretching past the delay.
  EXPECT_EQ(policy.backoff(3, 7.0), milliseconds(4000));
  EXPECT_EQ(policy.backoff(3, -1.0), milliseconds(2000));
}

TEST_F(RetryPolicyTest, RetryAfterIsAFloorUnderTheBackoff) {
  const QXRetryPolicy policy = withoutJitter();
  EXPECT_EQ(policy.decide(1, status(429, 120.0), 0.5).delay, milliseconds(120000));
  EXPECT_EQ(policy.decide(3, status(503, 0.5), 0.5).delay, milliseconds(4000));
}

TEST_F(RetryPolicyTest, RetryAfterIsCappedSoAServerCannotParkTheQueue) {
  const QXRetryPolicy policy = withoutJitter();
  const auto decision = policy.decide(1, status(429, 10 * 3600.0), 0.5);
  EXPECT_EQ(decision.action, Action::kRetry);
  EXPECT_EQ(decision.delay, milliseconds(3600000));
}

TEST_F(RetryPolicyTest, NonsensicalRetryAfterValuesAreIgnored) {
  const QXRetryPolicy policy = withoutJitter();
  EXPECT_EQ(policy.decide(1, status(429, -5.0), 0.5).delay, milliseconds(1000));
  EXPECT_EQ(policy.decide(1, status(429, std::nan("")), 0.5).delay, milliseconds(1000));
  EXPECT_EQ(policy.decide(1, status(429, std::numeric_limits<double>::infinity()), 0.5).delay,
            milliseconds(1000));
}

TEST_F(RetryPolicyTest, RetryAfterDoesNotTurnADeliveryOrADropIntoARetry) {
  const QXRetryPolicy policy;
  EXPECT_EQ(policy.decide(1, status(200, 60.0), 0.5), (QXRetryDecision{Action::kDelivered, {}}));
  EXPECT_EQ(policy.decide(1, status(400, 60.0), 0.5), (QXRetryDecision{Action::kDrop, {}}));
}

TEST_F(RetryPolicyTest, ChangedFieldsChangeTheDecision) {
  QXRetryPolicy policy = withoutJitter();
  policy.initialDelay = milliseconds(10);
  policy.multiplier = 3;
  policy.maxDelay = milliseconds(200);
  EXPECT_EQ(policy.backoff(1, 0.5), milliseconds(10));
  EXPECT_EQ(policy.backoff(3, 0.5), milliseconds(90));
  EXPECT_EQ(policy.backoff(4, 0.5), milliseconds(200));
}

}  // namespace

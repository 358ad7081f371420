#include "core/network/QXCollectorHealth.h"

#include <algorithm>

QXRetryDecision QXCollectorHealth::answered(const QXSendResult& result, int hitFailures,
                                            const QXRetryPolicy& policy, double random01,
                                            Clock::time_point now) {
  using Kind = QXSendResult::Kind;
  QXRetryDecision decision = policy.decide(hitFailures, result, random01);
  if (result.kind == Kind::kAborted) return decision;
  if (result.kind == Kind::kResponse) answeredSinceTLSFailure_ = true;
  if (decision.action != QXRetryDecision::Action::kRetry) {
    // The server answered, and sensibly: well again. An invalid request is
    // the URL's fault, not the collector's.
    if (result.kind == Kind::kResponse) {
      failuresInARow_ = 0;
      holdsInARow_ = 0;
      probing_ = false;
    }
    return decision;
  }
  if (result.retryAfterSeconds && *result.retryAfterSeconds > 0) {
    // Asked to wait: the whole collector does, the hit's delay being that.
    hold(now + decision.delay);
    return decision;
  }
  if (!result.beforeConnecting) {
    ++failuresInARow_;
    // Among answers that mostly deliver, a failure is the collector's share
    // of failures, not the hit's: the hit waits no longer than the third
    // step of the backoff, however often it was unlucky, so that it does not
    // wait minutes behind hits that went through.
    if (failuresInARow_ <= kShareOfFailures)
      decision.delay = std::min(decision.delay, policy.backoff(kShareBackoffSteps, random01));
    if (failuresInARow_ < kFailuresInARow) return decision;
  }
  // Out of reach, or failing every request: held, the hit with it.
  failuresInARow_ = 0;
  ++holdsInARow_;
  const auto wait = policy.backoff(holdsInARow_, random01);
  hold(now + wait);
  decision.delay = std::max(decision.delay, wait);
  return decision;
}

void QXCollectorHealth::hold(Clock::time_point until) {
  heldUntil_ = std::max(heldUntil_, until);
  probing_ = true;
}

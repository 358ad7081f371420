#include "core/network/QXRetryPolicy.h"

#include <algorithm>
#include <cmath>

QXRetryDecision::Action QXClassifyStatus(int status) {
  using Action = QXRetryDecision::Action;
  if (status >= 200 && status <= 299) return Action::kDelivered;
  if (status == 408 || status == 429) return Action::kRetry;
  if ((status >= 100 && status <= 199) || (status >= 400 && status <= 499)) return Action::kDrop;
  return Action::kRetry;
}

std::chrono::milliseconds QXRetryPolicy::backoff(int failures, double random01) const {
  const double cap = static_cast<double>(std::max<int64_t>(0, maxDelay.count()));
  const double initial = static_cast<double>(std::max<int64_t>(0, initialDelay.count()));
  // Computed in floating point and capped before any conversion, so that a
  // long outage (failures in the thousands) cannot overflow.
  const double exponent = static_cast<double>(std::max(0, failures - 1));
  double delay = std::min(cap, initial * std::pow(std::max(1.0, multiplier), exponent));
  if (!std::isfinite(delay)) delay = cap;
  const double spread = std::clamp(jitter, 0.0, 1.0);
  const double r = std::clamp(random01, 0.0, 1.0);
  delay *= (1.0 - spread) + spread * r;
  return std::chrono::milliseconds(static_cast<int64_t>(delay));
}

QXRetryDecision QXRetryPolicy::decide(int failures, const QXSendResult& result,
                                      double random01) const {
  using Action = QXRetryDecision::Action;
  QXRetryDecision decision;
  switch (result.kind) {
    case QXSendResult::Kind::kResponse:
      decision.action = QXClassifyStatus(result.status);
      break;
    case QXSendResult::Kind::kInvalidRequest:
      decision.action = Action::kDrop;
      break;
    case QXSendResult::Kind::kTransportError:
    case QXSendResult::Kind::kAborted:
      decision.action = Action::kRetry;
      break;
  }
  if (decision.action != Action::kRetry) return decision;
  decision.delay = backoff(failures, random01);
  if (result.retryAfterSeconds && *result.retryAfterSeconds > 0 &&
      std::isfinite(*result.retryAfterSeconds)) {
    const double asked = *result.retryAfterSeconds * 1000.0;
    const double capped = std::min(asked, static_cast<double>(maxRetryAfter.count()));
    decision.delay =
        std::max(decision.delay, std::chrono::milliseconds(static_cast<int64_t>(capped)));
  }
  return decision;
}

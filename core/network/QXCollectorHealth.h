#ifndef QUORVEX_CORE_NETWORK_QXCOLLECTORHEALTH_H_
#define QUORVEX_CORE_NETWORK_QXCOLLECTORHEALTH_H_

// Private to the core: never included by a public header.

#include <chrono>
#include <cstddef>
#include <optional>

#include "core/network/QXRetryPolicy.h"
#include "core/network/QXTransport.h"

// How one collector fares, answer after answer, and what becomes of a hit
// that failed there. A value, pure but for what it is told.
//
// A failed hit backs off on its own: its next attempt waits the policy's
// backoff over its own failures (with jitter), while the collector's other
// hits go on. Collectors behind load balancers fail a share of requests all
// the time, and that share costs only the hits it hits: a failure that
// comes after answers that delivered (no more than kShareOfFailures in a
// row) makes its hit wait at most kShareBackoffSteps steps of the backoff,
// so that a hit unlucky several times over still goes within seconds. The
// collector as a whole is held back only when it fails as a whole:
//   - an error before any connection was made (its name does not resolve,
//     connections are refused or never come, TLS will not agree): held for
//     the policy's backoff over such failures in a row;
//   - kFailuresInARow failed answers in a row, none delivered between: the
//     same;
//   - a Retry-After from the server (429, 503): held for as long as it asks,
//     within the policy's cap.
// While held, nothing is sent there; once the time is up, a single request
// probes it, and any answer that is not a failure ends the hold. Answers of
// the server that it will never take a hit (a 4xx other than 408 and 429)
// say it is well, as does a 2xx.
class QXCollectorHealth {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kFailuresInARow = 8;
  static constexpr int kShareOfFailures = 2;
  static constexpr int kShareBackoffSteps = 3;

  // What the answer to one of its hits means for that hit and for the
  // collector. `hitFailures` counts this answer if it is a failure (1 for
  // the hit's first). For kRetry, the delay is the hit's own wait (a hold
  // of the whole collector included).
  QXRetryDecision answered(const QXSendResult& result, int hitFailures, const QXRetryPolicy& policy,
                           double random01, Clock::time_point now);

  // Whether a request may start now, `inFlight` of its requests being under
  // way: not while held, and while probed one at a time.
  bool open(Clock::time_point now, size_t inFlight) const {
    return now >= heldUntil_ && (!probing_ || inFlight == 0);
  }
  // When a hold ends; in the past when there is none.
  Clock::time_point heldUntil() const { return heldUntil_; }
  bool probing() const { return probing_; }
  // The server answered (anything at all): for telling lasting failures
  // again only after a recovery.
  bool answeredSinceTLSFailure() const { return answeredSinceTLSFailure_; }
  void noteTLSFailureTold() { answeredSinceTLSFailure_ = false; }

 private:
  void hold(Clock::time_point until);

  int failuresInARow_ = 0;
  int holdsInARow_ = 0;
  Clock::time_point heldUntil_{};
  bool probing_ = false;
  bool answeredSinceTLSFailure_ = true;
};

#endif  // QUORVEX_CORE_NETWORK_QXCOLLECTORHEALTH_H_

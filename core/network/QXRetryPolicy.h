#ifndef QUORVEX_CORE_NETWORK_QXRETRYPOLICY_H_
#define QUORVEX_CORE_NETWORK_QXRETRYPOLICY_H_

// Private to the core: never included by a public header.

#include <chrono>

#include "core/network/QXTransport.h"

// What to do with a hit after an attempt.
struct QXRetryDecision {
  enum class Action { kDelivered, kRetry, kDrop };
  Action action = Action::kDrop;
  // For kRetry: how long the hit's collector is left alone before the next
  // attempt.
  std::chrono::milliseconds delay{0};

  bool operator==(const QXRetryDecision& other) const {
    return action == other.action && delay == other.delay;
  }
};

// How failures are retried. A value: copy it, change it, compare it.
//
//   2xx                          delivered
//   408, 429, 5xx, 3xx           retried (3xx: redirects are not followed; a
//                                collector that redirects is misconfigured
//                                or moving, and dropping would lose the hit)
//   other 4xx (and a final 1xx)  dropped: the request will never succeed
//   transport error              retried
//   invalid request              dropped
//   a code outside 100-599       retried
//
// The delay before attempt n+1 (n = failures in a row, from 1) is
// min(maxDelay, initialDelay * multiplier^(n-1)), of which the fraction
// `jitter` is random: with jitter 0.5 the delay lies in [d/2, d). A
// Retry-After from the server is a floor, itself capped at maxRetryAfter, so
// a server cannot park the queue for longer than that.
struct QXRetryPolicy {
  std::chrono::milliseconds initialDelay{1000};
  double multiplier = 2.0;
  std::chrono::milliseconds maxDelay{5 * 60 * 1000};
  double jitter = 0.5;
  std::chrono::milliseconds maxRetryAfter{60 * 60 * 1000};

  // Pure. `failures` counts this failure too (1 for the first); `random01`
  // is a number in [0, 1). The result of an aborted send is not decided here
  // (the worker keeps the hit for the next launch); it is answered kRetry.
  QXRetryDecision decide(int failures, const QXSendResult& result, double random01) const;

  // The backoff alone, without Retry-After.
  std::chrono::milliseconds backoff(int failures, double random01) const;
};

// Whether a final status code means the server has the hit, wants it again
// later, or will never take it.
QXRetryDecision::Action QXClassifyStatus(int status);

#endif  // QUORVEX_CORE_NETWORK_QXRETRYPOLICY_H_

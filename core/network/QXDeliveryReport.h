#ifndef QUORVEX_CORE_NETWORK_QXDELIVERYREPORT_H_
#define QUORVEX_CORE_NETWORK_QXDELIVERYREPORT_H_

// Private to the core: never included by a public header.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/QXNetworkManager.h"

// What delivery tells the host: its counters, and the outcome of each
// attempt to the host's callback.
//
// The callback is the host's code: what it throws is caught here, on the
// thread that tells it, delivery goes on, and the first time is logged at
// level 4. It is told on the worker's thread, and on the caller's for a hit
// that was never stored.
//
// Threads: every member from any thread.
class QXDeliveryReport {
 public:
  using Callback = std::function<void(const QXHitOutcome&)>;

  void setCallback(Callback callback);
  Callback callback() const;

  // Tells the callback each outcome, in order; never throws.
  void tell(const std::vector<QXHitOutcome>& outcomes) noexcept;

  void countQueued() { queued_.fetch_add(1, std::memory_order_relaxed); }
  void countSent() { sent_.fetch_add(1, std::memory_order_relaxed); }
  void countRetried() { retried_.fetch_add(1, std::memory_order_relaxed); }
  void countDropped(uint64_t hits) { dropped_.fetch_add(hits, std::memory_order_relaxed); }
  // The counters; `pending` is the caller's to fill.
  QXDeliveryCounters counters() const;

 private:
  void callbackThrew(const char* what) noexcept;

  mutable std::mutex mutex_;
  std::shared_ptr<const Callback> callback_;  // guarded by mutex_

  std::atomic<uint64_t> queued_{0};
  std::atomic<uint64_t> sent_{0};
  std::atomic<uint64_t> retried_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<bool> callbackThrewBefore_{false};
};

#endif  // QUORVEX_CORE_NETWORK_QXDELIVERYREPORT_H_

#ifndef QUORVEX_CORE_NETWORK_QXDELIVERYWORKER_H_
#define QUORVEX_CORE_NETWORK_QXDELIVERYWORKER_H_

// Private to the core: never included by a public header.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/QXNetworkManager.h"
#include "core/network/QXDeliveryReport.h"
#include "core/network/QXDeliveryRound.h"
#include "core/network/QXHitJournal.h"
#include "core/network/QXOutbox.h"
#include "core/network/QXTransport.h"

// Drains the journal and the outbox over the network, on one thread of its
// own ("qx-delivery"), started with all asynchronous signals blocked (the
// host's signal handling stays the host's alone).
//
// Each round (QXDeliveryRound) applies the answers that came, takes the
// journal's new hits in, starts the hits due and does the disk's share; then
// the thread sleeps in QXTransport::waitForActivity() until an answer, a
// wakeup or the next thing the round said is due; idle, with nothing due,
// it sleeps until woken.
//
// Waking: the caller's thread (hitAdded) wakes the worker only when it
// sleeps, known from one atomic flag; a stream of hits into a busy worker
// costs the caller no system call but its write.
//
// The outbox's other owner is the host's process exit: stop() makes the
// worker abort the transfers under way (their hits stay for the next
// launch) and end.
class QXDeliveryWorker {
 public:
  struct Environment {
    // The transport, made on the worker's thread.
    QXTransportFactory makeTransport;
    // Whether a network is reachable. May take a while (it reads the
    // interfaces); called on the worker thread, at most once per
    // reachabilityInterval and after a network error.
    std::function<bool()> isReachable;
    // Wall-clock milliseconds since 1970, for the age of hits.
    std::function<int64_t()> nowMs;
    // A number in [0, 1), for the jitter of the backoff.
    std::function<double()> random01;
    // Asked once, on the worker thread; empty: no User-Agent header.
    std::function<std::string()> userAgent;
  };
  using OutcomeCallback = QXDeliveryReport::Callback;

  QXDeliveryWorker(QXOutbox& outbox, QXHitJournal& journal, Environment environment,
                   QXDeliveryOptions options);
  // Stops (see stop()) and then waits for the thread, however long it
  // takes: after it nothing refers to the worker.
  ~QXDeliveryWorker();
  QXDeliveryWorker(const QXDeliveryWorker&) = delete;
  QXDeliveryWorker& operator=(const QXDeliveryWorker&) = delete;

  // Starts the worker thread; idempotent, and nothing after stop(). Its
  // first round waits `firstRoundAfter` unless a hit, flush() or a change
  // wakes it first, so that a host's start-up does not share the processor
  // with the opening of the outbox.
  void start(std::chrono::milliseconds firstRoundAfter = std::chrono::milliseconds(0));
  bool started() const { return started_.load(std::memory_order_acquire); }

  // Tells the worker that the journal has one more hit, and counts it.
  void hitAdded();
  // Counts and reports a hit that never reached the journal.
  void hitRefused(const QXHitOutcome& outcome) noexcept;

  void setInBackground(bool inBackground);
  void enableRunningInBackground();
  bool runsInBackground() const { return runInBackground_.load(std::memory_order_acquire); }

  void setOptions(const QXDeliveryOptions& options);
  QXDeliveryOptions options() const;
  // options().maxHitBytes, without a lock: read for every hit.
  size_t maxHitBytes() const { return maxHitBytes_.load(std::memory_order_relaxed); }
  void setOutcomeCallback(OutcomeCallback callback) { report_.setCallback(std::move(callback)); }
  OutcomeCallback outcomeCallback() const { return report_.callback(); }

  // Waits at most `timeout` for the journal and the outbox to be empty with
  // nothing in flight. True when they are.
  bool flush(std::chrono::milliseconds timeout);

  // Tells the thread to stop: it aborts the transfers under way and ends.
  // Waits at most `timeout` for that; true when it had ended. Idempotent;
  // may be called from any thread, also from the worker's own (through the
  // outcome callback), which it then does not wait for.
  bool stop(std::chrono::milliseconds timeout);

  QXDeliveryCounters counters() const;
  QXDeliveryPause pause() const { return round_.pause(); }

  // Fork handlers: across fork() the worker is between two rounds (asleep,
  // or waiting for this lock), and locked. Its thread, absent from the
  // child, then holds none of the locks it takes in a round (the outbox's,
  // SQLite's, curl's, the platform's), so the child finds them free; and
  // the child finds the options whole, to carry them over to a worker of its
  // own. The child never uses this one again. A fork from the worker's own
  // thread (its outcome callback) does not wait for the round it is in.
  void lockForFork();
  void unlockAfterFork() { mutex_.unlock(); }
  // Under lockForFork(): what a worker of a child takes over.
  QXDeliveryOptions optionsLocked() const { return options_; }

 private:
  using Clock = std::chrono::steady_clock;

  void run(std::chrono::milliseconds firstRoundAfter);
  // Sleeps until `deadline` (nullopt: until woken), an answer or a wakeup.
  void sleepUntil(QXTransport* transport, std::optional<Clock::time_point> deadline);
  // Makes a sleeping worker run a round now. Any thread.
  void wake();

  bool drainedLocked() const;

  // Constant after construction.
  QXOutbox& outbox_;
  QXHitJournal& journal_;
  const Environment environment_;

  QXDeliveryReport report_;
  QXDeliveryRound round_;  // the worker thread's, but for the figures it publishes

  mutable std::mutex mutex_;
  std::condition_variable drained_;
  std::condition_variable threadEnded_;
  // All guarded by mutex_.
  QXDeliveryOptions options_;
  bool stopping_ = false;
  bool wakeRequested_ = false;
  bool inBackground_ = false;
  // A round is under way: until it ends, flush() waits, so that a flush that
  // returns has told every outcome; and fork() waits, so that the thread
  // holds no lock of a round then.
  bool inRound_ = false;
  int forksWaiting_ = 0;              // threads in lockForFork(), waiting for the round's end
  QXTransport* transport_ = nullptr;  // the worker thread's, for wake()
  std::thread workerThread_;
  bool workerFinished_ = false;

  std::atomic<bool> started_{false};
  std::atomic<bool> hitsWaiting_{false};  // set by hitAdded(), cleared by each round
  std::atomic<bool> sleeping_{false};     // the worker sleeps, or is about to
  std::atomic<bool> runInBackground_{false};
  std::atomic<size_t> maxHitBytes_{0};
};

#endif  // QUORVEX_CORE_NETWORK_QXDELIVERYWORKER_H_

#ifndef QUORVEX_CORE_NETWORK_QXDELIVERYWORKER_H_
#define QUORVEX_CORE_NETWORK_QXDELIVERYWORKER_H_

// Private to the core: never included by a public header.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/QXNetworkManager.h"
#include "core/network/QXDeliveryBounds.h"
#include "core/network/QXHTTPSender.h"
#include "core/network/QXHitJournal.h"
#include "core/network/QXJournalIngester.h"
#include "core/network/QXOutbox.h"
#include "core/network/QXRetryPolicy.h"

// Drains the journal and the outbox over the network.
//
// One worker thread owns the outbox: it moves the hits that callers append
// to the journal into the outbox in batches (QXJournalIngester), keeps a
// window of the oldest hits in memory (the newest ones go there straight
// from the journal when the window holds all there is), hands them to
// connection threads oldest first, removes what the server took or refused
// for good, applies the retry policy and the outbox's bounds, and waits on a
// condition variable for the next thing to do (a new hit, an answer, the end
// of a backoff, the age limit of the oldest hit, a change of pause).
// Connection threads each own one sender, made on first use; the first is
// started with the first request, the others only when a backlog builds up.
// Each connection holds its next hit ready, so that it goes from one request
// to the next without waiting for the worker; removals from the outbox
// follow in batches.
//
// The caller's thread (hitAdded) wakes the worker only when it sleeps for
// long. For a second after a hit the worker looks at the journal every few
// milliseconds by itself, and while requests are in flight their answers
// wake it: a stream of hits costs the caller no system call but its write.
//
// Backoff is kept per collector (QXOriginOf): a failing collector does not
// hold back hits for another one. After a failure, a single request probes
// the collector; the others wait for its answer.
class QXDeliveryWorker {
 public:
  struct Environment {
    QXSenderFactory makeSender;
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
  using OutcomeCallback = std::function<void(const QXHitOutcome&)>;

  QXDeliveryWorker(QXOutbox& outbox, QXHitJournal& journal, Environment environment,
                   QXDeliveryOptions options);
  // Stops (see stop()) and then waits for every thread, however long the
  // last of them takes: after it nothing refers to the worker.
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
  // Counts and reports a hit that never reached the outbox.
  void hitRefused(const QXHitOutcome& outcome) noexcept;

  void setInBackground(bool inBackground);
  void enableRunningInBackground();
  bool runsInBackground() const { return runInBackground_.load(std::memory_order_acquire); }

  void setOptions(const QXDeliveryOptions& options);
  QXDeliveryOptions options() const;
  // options().maxHitBytes, without a lock: read for every hit.
  size_t maxHitBytes() const { return maxHitBytes_.load(std::memory_order_relaxed); }
  void setOutcomeCallback(OutcomeCallback callback);
  OutcomeCallback outcomeCallback() const;

  // Fork handlers: across fork() the worker is between two rounds, and
  // locked. Its thread, absent from the child, then holds none of the
  // locks it takes in a round (the outbox's, SQLite's, the platform's), so
  // the child finds them free; and the child finds the options and callback
  // whole, to carry them over to a worker of its own. The child never uses
  // this one again. A fork from the worker's own thread (its outcome
  // callback) does not wait for the round it is in.
  void lockForFork();
  void unlockAfterFork() { mutex_.unlock(); }
  // Under lockForFork(): what a worker of a child takes over.
  QXDeliveryOptions optionsLocked() const { return options_; }
  OutcomeCallback outcomeCallbackLocked() const;

  // Waits at most `timeout` for the journal and the outbox to be empty with
  // nothing in flight. True when they are.
  bool flush(std::chrono::milliseconds timeout);

  // Tells every thread to stop, aborts the transfers under way and waits at
  // most `timeout` for the threads to end. Threads still running then are
  // left to finish on their own (they touch nothing of the host's and end
  // as soon as their abort takes effect). True when all had ended.
  // Idempotent; may be called from any thread, also from the worker's own
  // (through the outcome callback), which it then does not wait for.
  bool stop(std::chrono::milliseconds timeout);

  QXDeliveryCounters counters() const;
  QXDeliveryPause pause() const {
    return static_cast<QXDeliveryPause>(pause_.load(std::memory_order_acquire));
  }

 private:
  using Clock = std::chrono::steady_clock;

  struct Entry {
    QXOutbox::Hit hit;
    std::string origin;
    bool loopback = false;  // the collector runs on this machine
    int attempts = 0;
    bool inFlight = false;
  };
  struct OriginState {
    int failures = 0;
    Clock::time_point notBefore{};
  };
  struct Job {
    int64_t id = 0;
    uint64_t generation = 0;
    QXHTTPRequest request;
  };
  struct Completion {
    int64_t id = 0;
    uint64_t generation = 0;
    QXSendResult result;
    size_t connection = 0;
    bool returned = false;  // handed back unsent
  };
  // A connection holds the job it sends and one more, which it starts as
  // soon as the first is answered, without waiting for the worker. After an
  // answer that will be retried it hands the waiting job back instead and
  // takes nothing until the worker has applied that answer, so that with one
  // connection a retried hit goes out again before any younger one.
  struct Connection {
    std::thread thread;
    std::unique_ptr<QXHTTPSender> sender;  // made and used by `thread`
    // All guarded by mutex_.
    std::deque<Job> jobs;  // handed out, not started
    bool sending = false;
    bool held = false;
    bool finished = false;
  };

  void run(std::chrono::milliseconds firstRoundAfter);
  void connectionLoop(Connection* connection, size_t index);

  // One round of the worker thread, without the mutex. Returns when it
  // wants to be woken at the latest (nullopt: only by an event).
  std::optional<Clock::time_point> round(std::vector<Completion> completions,
                                         const QXDeliveryOptions& options);
  void applyCompletions(std::vector<Completion>& completions, const QXDeliveryOptions& options,
                        std::vector<QXHitOutcome>& outcomes);
  void removeFinished(std::vector<int64_t> ids, Clock::time_point now);
  void ingest(const QXDeliveryOptions& options, Clock::time_point now,
              std::vector<QXHitOutcome>& outcomes);
  void addToWindow(QXOutbox::Hit hit);
  void applyBounds(const QXDeliveryOptions& options, std::vector<QXHitOutcome>& outcomes);
  void reportLeftOut(std::vector<QXHitJournal::Skipped>& left, std::vector<QXHitOutcome>& outcomes);
  void adoptOrphans(Clock::time_point now);
  void refillWindow();
  // The wall-clock date before which a hit is too old to be sent.
  int64_t ageCutoffMs(const QXDeliveryOptions& options) const;
  bool eligible(const Entry& entry, Clock::time_point now) const;
  void dispatch(const QXDeliveryOptions& options, Clock::time_point now);
  std::optional<Clock::time_point> nextWake(const QXDeliveryOptions& options,
                                            Clock::time_point now) const;
  void report(const std::vector<QXHitOutcome>& outcomes) noexcept;
  void callbackThrew(const char* what) noexcept;
  bool drainedLocked() const;

  // Constant after construction.
  QXOutbox& outbox_;
  QXHitJournal& journal_;
  const Environment environment_;

  // Worker thread only.
  QXJournalIngester ingester_;
  bool moreToIngest_ = false;
  uint64_t ingestedSeen_ = 0;
  Clock::time_point lastHitSeen_{};
  Clock::time_point openRetryAt_{};
  std::vector<int64_t> unremoved_;  // delivered, their removal failed: retried, never resent
  Clock::time_point removalRetryAt_{};
  bool removalsFailing_ = false;
  QXDeliveryBounds bounds_;
  Clock::time_point lastOwnerScan_{};
  int64_t cutoffMs_ = 0;  // as of this round
  std::deque<Entry> window_;
  std::map<std::string, OriginState> origins_;
  int64_t lastLoadedId_ = 0;
  uint64_t generationSeen_ = 0;
  std::string userAgent_;
  bool reachable_ = true;
  bool reachabilityStale_ = true;
  Clock::time_point lastReachabilityCheck_{};
  bool moreToDrop_ = false;

  mutable std::mutex mutex_;
  std::condition_variable workerWake_;
  std::condition_variable connectionWake_;
  std::condition_variable drained_;
  std::condition_variable threadEnded_;
  // All guarded by mutex_.
  QXDeliveryOptions options_;
  std::shared_ptr<const OutcomeCallback> callback_;
  bool stopping_ = false;
  bool wakeRequested_ = false;
  bool inBackground_ = false;
  size_t inFlight_ = 0;  // handed to a connection, answer not yet applied
  // A round is applying answers and telling their outcomes: until it ends,
  // flush() waits, so that a flush that returns has told every outcome.
  bool inRound_ = false;
  std::vector<Completion> completions_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::thread workerThread_;
  bool workerFinished_ = false;

  std::atomic<bool> started_{false};
  std::atomic<bool> hitsWaiting_{false};    // set by hitAdded(), cleared by each round
  std::atomic<bool> workerWaiting_{false};  // the worker sleeps for long, or is about to
  std::atomic<bool> caughtUp_{false};       // the journal held nothing more at the last round
  std::atomic<int64_t> notIngested_{0};     // hits added and not yet in the outbox
  std::atomic<bool> runInBackground_{false};
  std::atomic<int> pause_{static_cast<int>(QXDeliveryPause::kNone)};
  std::atomic<uint64_t> queued_{0};
  std::atomic<uint64_t> sent_{0};
  std::atomic<uint64_t> retried_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<bool> callbackThrewBefore_{false};
  std::atomic<size_t> maxHitBytes_{0};
};

#endif  // QUORVEX_CORE_NETWORK_QXDELIVERYWORKER_H_

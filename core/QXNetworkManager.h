#ifndef QUORVEX_CORE_QXNETWORKMANAGER_H_
#define QUORVEX_CORE_QXNETWORKMANAGER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/QXSingleton.h"
#include "platform/QXExport.h"

// How the network manager delivers. Every field may be changed at any time
// with QXNetworkManager::setOptions(); a change applies from the next
// request (timeouts), the next retry (backoff) or the worker's next round
// (bounds, connections).
struct QXDeliveryOptions {
  // libcurl's connect timeout and the limit on a whole request.
  std::chrono::milliseconds connectTimeout{10 * 1000};
  std::chrono::milliseconds requestTimeout{30 * 1000};

  // Bounds of what waits to be delivered, the hits on their way into the
  // outbox included. Past them the oldest hits are dropped and logged at
  // level 3 (the count may run 1% over before it is trimmed back, so that a
  // full outbox is trimmed in batches); no hit is refused for coming in a
  // burst. 10,000 hits cover days offline for a typical application; a
  // week is as long as collectors usually accept late hits, and no hit
  // older is ever sent. `maxQueuedBytes` bounds the files on disk (database,
  // its log and the journal; 0: no bound): they stay within a tenth over it
  // once the worker has caught up with a burst, and shrink back once the
  // backlog is gone. Processes sharing a data directory each keep their own
  // hits within `maxQueuedHits`; the files they share within
  // `maxQueuedBytes`.
  size_t maxQueuedHits = 10000;
  uint64_t maxQueuedBytes = 32 * 1024 * 1024;
  std::chrono::seconds maxHitAge{7 * 24 * 60 * 60};

  // The largest hit, URL and body together. A larger one is refused before
  // it is stored, counted as dropped and told to the outcome callback, with
  // one level-4 line. 1 MiB is what common collectors take by default
  // (nginx's client_max_body_size is 1 MiB); typical hits are a few KB.
  size_t maxHitBytes = 1024 * 1024;

  // Connections kept alive to drain a backlog; one is used while no more
  // than `parallelBacklog` hits wait, so that hits then arrive in order.
  int maxConnections = 4;
  size_t parallelBacklog = 16;

  // Retries of network errors, 408, 429, 3xx and 5xx: exponential backoff
  // from `initialRetryDelay`, doubling, capped at `maxRetryDelay`, half of
  // it random; a Retry-After from the server is honoured up to
  // `maxRetryAfter`. Backoff applies per collector (scheme, host and port).
  std::chrono::milliseconds initialRetryDelay{1000};
  std::chrono::milliseconds maxRetryDelay{5 * 60 * 1000};
  std::chrono::milliseconds maxRetryAfter{60 * 60 * 1000};

  // How old the answer "is a network reachable?" may be when a request is
  // about to go; also how often it is asked again while offline.
  std::chrono::milliseconds reachabilityInterval{1000};

  // How long process exit (or library unload) waits for the worker's
  // threads to stop. They are told to stop at once and abort their
  // transfers, so this is a bound, not a delay.
  std::chrono::milliseconds exitTimeout{2000};
};

// What has happened since the process started.
struct QXDeliveryCounters {
  uint64_t queued = 0;   // hits stored in the outbox
  uint64_t sent = 0;     // hits the server took (2xx)
  uint64_t retried = 0;  // failed attempts that will be retried
  uint64_t dropped = 0;  // hits given up: refused for good, past the bounds, not storable
  size_t pending = 0;    // hits in the outbox now
};

// What became of one attempt of a hit, for the host's outcome callback.
struct QXHitOutcome {
  // What became of the attempt.
  enum class Result {
    kDelivered,  // the server answered 2xx; the hit is gone from the outbox
    kRetrying,   // it failed and will be tried again after `retryDelay`
    kDropped,    // given up for good; `reason` says why
  };
  Result result = Result::kDelivered;  // see Result
  std::string hitIdentifier;           // as sent in the X-Quorvex-Hit-Id header
  std::string url;                     // the collector's URL
  int httpStatus = 0;                  // 0 when there was no answer
  int attempt = 0;                     // 1 for the first attempt in this process; 0 when never sent
  std::chrono::milliseconds retryDelay{0};  // kRetrying: how long until the next attempt
  std::string reason;                       // kRetrying, kDropped: what went wrong
};

// Why requests are not going out at the moment.
enum class QXDeliveryPause { kNone, kOffline, kBackground };

// The core's delivery of requests. Created once per process by the core's
// initialisation; never destroyed.
//
// How a request flows:
//  1. A tracker posts kQXNotification_HTTPRequest on the default center. The
//     observer, on the posting thread, appends URL and body to this
//     process's journal with one write() and returns; the hit is then safe
//     from a kill of the process. It never waits for the disk or the
//     network. The first hit of the process also starts the worker and sets
//     the transport up.
//  2. The worker thread moves the journal's hits into the outbox (an SQLite
//     database in the platform's data directory) in batches, and makes them
//     durable within a second.
//  3. It hands the oldest hits to its connections (threads with a libcurl
//     handle each, kept alive): one, or up to maxConnections while a backlog
//     drains.
//  4. 2xx removes the hit from the outbox; 408, 429, 3xx, 5xx and network
//     errors leave it there and back off the collector; other 4xx drop it
//     (logged at level 4).
//
// Durability: a power cut or a crash of the operating system may lose the
// hits of about the last second (those not yet in the outbox, or in it but
// not yet synced); nothing is lost to a kill of the process. Identifiers
// never repeat, whatever the disk lost.
//
// Order: hits are handed out oldest first. With one connection they arrive
// in order (a failed hit is retried before any younger hit for the same
// collector). With several, the hits in flight together may arrive in any
// order among themselves; the identifier ends in a sequence number that
// never goes back, so a collector can restore the order.
//
// Pauses: nothing is sent while no network is reachable (QXReachability),
// nor while the application is in background (kQXNotification_OnBackground
// until kQXNotification_OnForeground) unless enableRunningInBackground() has
// been called; hits wait in the outbox meanwhile.
//
// Start: the worker starts with the first tracker of the process, and
// looks at what an earlier launch left a moment later (or at once with a
// hit or flush()), so that a backlog goes out even when the application
// makes no hit.
//
// Exit: at process exit (or when a shared SDK is unloaded) the threads are
// told to stop, transfers under way are aborted, and the exit waits for
// them at most exitTimeout. Hits not delivered stay in the journal or the
// outbox for the next launch; a hit whose answer was lost in the abort is
// sent again then, with the same identifier.
//
// Fork: a child process starts with a delivery of its own, made when it
// forks and started with its first hit or flush(): its own journal and
// worker, the parent's options and outcome callback, counters from 0. The
// parent's files, threads and hits are the parent's alone; a child that
// calls exec or _exit leaves nothing behind.
//
// Failures: no member throws. One that meets an exception is abandoned,
// says so once at level 4 and returns (flush() false, a getter its empty
// value); a hit that cannot be stored is counted as dropped and goes to the
// outcome callback.
//
// Threads: every member may be called from any thread.
class QX_EXPORT QXNetworkManager : public QXSingleton<QXNetworkManager> {
 public:
  // While the application is in background, requests wait until it comes
  // back to foreground, unless this has been called; from then on, for the
  // rest of the process, they also go out in background. Nothing switches it
  // off again.
  void enableRunningInBackground() noexcept;
  // Whether enableRunningInBackground() has been called.
  bool isRunningInBackgroundEnabled() const noexcept;

  // Waits until the journal and the outbox are empty, at most `timeout`.
  // True when they are; the outcomes of the hits that went have then all
  // been told to the outcome callback. Starts the worker when no hit has yet, so that hits
  // an earlier launch left go out.
  // While sending is paused or backing off it waits for that to end, up to
  // the timeout. From inside the outcome callback it returns false at once
  // (delivery waits for the callback), and says so once at level 4.
  bool flush(std::chrono::milliseconds timeout) noexcept;

  // What has happened since the process started, and what waits now.
  QXDeliveryCounters counters() const noexcept;
  // Why requests are not going out at the moment, if they are not.
  QXDeliveryPause pause() const noexcept;

  // Counts a hit that never reached the journal (a tracker could not build
  // it whole) as dropped, and tells the outcome callback with `reason`.
  void refuseHit(const std::string& url, const char* reason) noexcept;

  // Called on the worker thread after each attempt, and on the posting
  // thread for a hit the journal could not store. Keep it short: delivery
  // waits for it. It must not throw: if it does, the exception is caught,
  // delivery goes on, and the first time is logged at level 4. Null
  // removes it.
  // Returns once the callback it replaces is no longer running on any
  // thread, so that what that callback uses may then be freed; called from
  // inside the callback, it only installs the new one (waiting would never
  // end). The callback must therefore not wait for a thread that replaces it.
  void setOutcomeCallback(std::function<void(const QXHitOutcome&)> callback) noexcept;

  // Replaces every option (read them with options(), change some, write them
  // back); each applies as QXDeliveryOptions says.
  void setOptions(const QXDeliveryOptions& options) noexcept;
  // The options in force.
  QXDeliveryOptions options() const noexcept;
  // options().maxHitBytes, without a lock.
  size_t maxHitBytes() const noexcept;

  // The outbox file; empty when hits are kept in memory (no data directory).
  std::string outboxPath() const noexcept;

 private:
  friend class QXSingleton<QXNetworkManager>;
  struct Impl;

  QXNetworkManager();
  ~QXNetworkManager();
  QXNetworkManager* init();
  static void stopAtExit();
  static void prepareFork();
  static void parentAfterFork();
  static void childAfterFork();

  // Replaced only in a child process, when it forks (single-threaded then);
  // null there if it had no memory for its own.
  std::unique_ptr<Impl> impl_;
};

#endif  // QUORVEX_CORE_QXNETWORKMANAGER_H_

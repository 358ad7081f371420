#ifndef QUORVEX_CORE_NETWORK_QXDELIVERYROUND_H_
#define QUORVEX_CORE_NETWORK_QXDELIVERYROUND_H_

// Private to the core: never included by a public header.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/QXNetworkManager.h"
#include "core/network/QXDeliveryBounds.h"
#include "core/network/QXDeliveryReport.h"
#include "core/network/QXDeliveryWindow.h"
#include "core/network/QXFinishedHits.h"
#include "core/network/QXHitJournal.h"
#include "core/network/QXJournalIngester.h"
#include "core/network/QXOutbox.h"
#include "core/network/QXTransport.h"

// One round of delivery, and what delivery keeps from one round to the next.
//
// A round, on the worker's thread (QXDeliveryWorker):
//  1. The answers that came (QXTransport::collect()) are applied: a hit
//     delivered or refused for good is finished, one that failed waits its
//     own backoff, and its collector's health is updated (QXCollectorHealth,
//     through the window); each outcome is reported (QXDeliveryReport).
//  2. The journal's new records go into the outbox (QXJournalIngester); what
//     the bounds would drop at once is left out (QXDeliveryBounds), and the
//     bounds trim the outbox from its oldest end.
//  3. The window (QXDeliveryWindow) reads on in the outbox, and the hits due
//     now start on the transport: each collector's oldest first, several at
//     once while a backlog drains, none to a collector that is held.
//  4. Then the disk's share: finished hits leave the outbox in batches
//     (QXFinishedHits); what was taken in is made durable within a second
//     while hits wait (nothing is synced for hits already delivered); the
//     files give back space, now and then while busy, at once when idle.
// It returns when it wants to run again at the latest: a backoff, an age
// limit, the durability deadline; nullopt when only an answer or a new hit
// can give it something to do.
//
// Threads: the worker's alone, but for the figures it publishes (inFlight,
// caughtUp, notIngested, pause), which any thread may read.
class QXDeliveryRound {
 public:
  using Clock = std::chrono::steady_clock;

  struct Environment {
    // Whether a network is reachable. May take a while (it reads the
    // interfaces); called at most once per reachabilityInterval and after a
    // network error.
    std::function<bool()> isReachable;
    // Wall-clock milliseconds since 1970, for the age of hits.
    std::function<int64_t()> nowMs;
    // A number in [0, 1), for the jitter of the backoff.
    std::function<double()> random01;
  };

  QXDeliveryRound(QXOutbox& outbox, QXHitJournal& journal, Environment environment,
                  QXDeliveryReport& report);

  void setUserAgent(std::string userAgent) { userAgent_ = std::move(userAgent); }

  // Whether requests may start, asked right before they would.
  enum class Hold {
    kNone,
    kBackground,  // the application is in the background and delivery does not run there
    kStopping,    // the worker is ending
  };

  // One round. While `hold` says so, hits are taken in and none is sent.
  std::optional<Clock::time_point> run(std::vector<QXTransport::Answer> answers,
                                       const QXDeliveryOptions& options, QXTransport* transport,
                                       const std::function<Hold()>& hold);

  // At the worker's end, after the transfers under way were aborted: the
  // hits delivered and not yet removed leave the outbox.
  void finish() { finished_.removeBeforeEnd(Clock::now()); }

  // Any thread.
  size_t inFlight() const { return inFlight_.load(); }
  // As of the last round, the journal held nothing more to take in.
  bool caughtUp() const { return caughtUp_.load(); }
  void setCaughtUp(bool caughtUp) { caughtUp_.store(caughtUp); }
  // Hits added to the journal and not yet taken in (or left out).
  void countAdded() { notIngested_.fetch_add(1, std::memory_order_relaxed); }
  int64_t notIngested() const { return notIngested_.load(); }
  QXDeliveryPause pause() const {
    return static_cast<QXDeliveryPause>(pause_.load(std::memory_order_acquire));
  }

 private:
  void applyAnswers(const std::vector<QXTransport::Answer>& answers,
                    const QXDeliveryOptions& options, std::vector<QXHitOutcome>& outcomes);
  void tellLastingFailure(QXDeliveryWindow::Entry& entry, const QXSendResult& result);
  void ingest(const QXDeliveryOptions& options, Clock::time_point now,
              std::vector<QXHitOutcome>& outcomes);
  void applyBounds(const QXDeliveryOptions& options, std::vector<QXHitOutcome>& outcomes);
  void adoptOrphans(Clock::time_point now);
  // The wall-clock date before which a hit is too old to be sent.
  int64_t ageCutoffMs(const QXDeliveryOptions& options) const;
  void dispatch(const QXDeliveryOptions& options, Clock::time_point now, QXTransport* transport,
                Hold hold);
  std::optional<Clock::time_point> nextWake(const QXDeliveryOptions& options,
                                            Clock::time_point now) const;

  QXOutbox& outbox_;
  QXHitJournal& journal_;
  const Environment environment_;
  QXDeliveryReport& report_;

  QXJournalIngester ingester_;
  QXDeliveryBounds bounds_;
  QXDeliveryWindow window_;
  QXFinishedHits finished_{outbox_};
  bool moreToIngest_ = false;
  bool moreToDrop_ = false;
  uint64_t ingestedSeen_ = 0;
  Clock::time_point openRetryAt_{};
  Clock::time_point lastOwnerScan_{};
  Clock::time_point upkeepAt_{};
  int64_t cutoffMs_ = 0;  // as of this round
  uint64_t generationSeen_ = 0;
  std::string userAgent_;
  bool reachable_ = true;
  bool reachabilityStale_ = true;
  Clock::time_point lastReachabilityCheck_{};

  std::atomic<bool> caughtUp_{false};
  std::atomic<int64_t> notIngested_{0};
  std::atomic<size_t> inFlight_{0};
  std::atomic<int> pause_{static_cast<int>(QXDeliveryPause::kNone)};
};

#endif  // QUORVEX_CORE_NETWORK_QXDELIVERYROUND_H_

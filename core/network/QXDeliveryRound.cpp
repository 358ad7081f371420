#include "core/network/QXDeliveryRound.h"

#include <algorithm>

#include "core/QXLogText.h"
#include "core/QXLogger.h"
#include "core/network/QXHitRequest.h"

namespace {

constexpr size_t kMaxDropsPerRound = 512;
constexpr std::chrono::milliseconds kRetryInterval{1000};
// How often a busy worker folds the outbox's log in and gives space back.
constexpr std::chrono::milliseconds kUpkeepInterval{100};
// How often the outbox looks for the hits of processes that are gone.
constexpr std::chrono::seconds kOwnerScanInterval{60};

QXRetryPolicy policyFor(const QXDeliveryOptions& options) {
  QXRetryPolicy policy;
  policy.initialDelay = options.initialRetryDelay;
  policy.maxDelay = options.maxRetryDelay;
  policy.maxRetryAfter = options.maxRetryAfter;
  return policy;
}

std::string describe(const QXSendResult& result) {
  switch (result.kind) {
    case QXSendResult::Kind::kResponse:
      return "the server answered " + std::to_string(result.status);
    case QXSendResult::Kind::kInvalidRequest:
      return "the request cannot be made: " + result.error;
    case QXSendResult::Kind::kTransportError:
      return "network error: " + result.error;
    case QXSendResult::Kind::kAborted:
      break;
  }
  return "aborted";
}

QXHitOutcome droppedOutcome(std::string identifier, std::string url, bool tooOld) {
  QXHitOutcome outcome;
  outcome.result = QXHitOutcome::Result::kDropped;
  outcome.hitIdentifier = std::move(identifier);
  outcome.url = std::move(url);
  outcome.reason = tooOld ? "older than the outbox's maximum age"
                          : "beyond the outbox's maximum number of hits or bytes";
  return outcome;
}

void log(const std::string& message, int level) {
  QXLogger::sharedInstance().logMessage(message, level);
}

}  // namespace

QXDeliveryRound::QXDeliveryRound(QXOutbox& outbox, QXHitJournal& journal, Environment environment,
                                 QXDeliveryReport& report)
    : outbox_(outbox),
      journal_(journal),
      environment_(std::move(environment)),
      report_(report),
      ingester_(journal, outbox) {}

std::optional<QXDeliveryRound::Clock::time_point> QXDeliveryRound::run(
    std::vector<QXTransport::Answer> answers, const QXDeliveryOptions& options,
    QXTransport* transport, const std::function<Hold()>& hold) {
  Clock::time_point now = Clock::now();
  if (!outbox_.isOpen() && now >= openRetryAt_ && !outbox_.open().ok())
    openRetryAt_ = now + kRetryInterval;
  const uint64_t generation = outbox_.generation();
  if (generation != generationSeen_) {
    // The database was replaced: the hits of the window are gone with it.
    window_.clear();
    finished_.clear();
    generationSeen_ = generation;
  }
  cutoffMs_ = ageCutoffMs(options);
  std::vector<QXHitOutcome> outcomes;
  applyAnswers(answers, options, outcomes);
  adoptOrphans(now);
  ingest(options, now, outcomes);
  window_.refill(outbox_, finished_.ids(), now);
  applyBounds(options, outcomes);
  bounds_.logDrops(options, Clock::now());
  report_.tell(outcomes);

  now = Clock::now();
  dispatch(options, now, transport, hold ? hold() : Hold::kNone);
  // The disk's share of the round comes after the requests have started.
  const bool idle = transport == nullptr || transport->inFlight() == 0;
  finished_.removeIfDue(now, idle);
  ingester_.makeDurableIfDue(now, moreToIngest_ || outbox_.count() > 0);
  if (idle || now >= upkeepAt_) {
    // Between rounds of a drain, now and then: each costs a few reads of
    // the database's header and a look at the log's size.
    upkeepAt_ = now + kUpkeepInterval;
    outbox_.checkpointIfLarge(QXDeliveryBounds::logLimit(options));
    if (options.maxQueuedBytes != 0) outbox_.releaseSpace(QXDeliveryBounds::databaseRoom(options));
  }
  if (idle && window_.empty() && outbox_.count() == 0 && ingester_.caughtUp())
    outbox_.shrinkIfEmpty();
  return nextWake(options, now);
}

void QXDeliveryRound::applyAnswers(const std::vector<QXTransport::Answer>& answers,
                                   const QXDeliveryOptions& options,
                                   std::vector<QXHitOutcome>& outcomes) {
  if (answers.empty()) return;
  const QXRetryPolicy policy = policyFor(options);
  const Clock::time_point now = Clock::now();
  std::vector<int64_t> finished;
  for (const QXTransport::Answer& answer : answers) {
    inFlight_.fetch_sub(1);
    QXDeliveryWindow::Entry* entry = window_.find(static_cast<int64_t>(answer.token));
    if (entry == nullptr) continue;  // the outbox was replaced meanwhile
    const QXSendResult& result = answer.result;
    if (result.kind == QXSendResult::Kind::kAborted) {
      window_.back(*entry, Clock::time_point());
      continue;
    }
    ++entry->attempts;
    // Jitter spaces the retries of failed hits; a delivered one needs none,
    // and each draw costs a system call.
    const bool delivered = result.kind == QXSendResult::Kind::kResponse &&
                           QXClassifyStatus(result.status) == QXRetryDecision::Action::kDelivered;
    const double random = !delivered && environment_.random01 ? environment_.random01() : 0.5;
    const QXRetryDecision decision =
        window_.health(entry->origin).answered(result, entry->failures + 1, policy, random, now);
    QXHitOutcome outcome;
    outcome.hitIdentifier = entry->hit.identifier;
    outcome.url = entry->hit.url;
    outcome.httpStatus = result.kind == QXSendResult::Kind::kResponse ? result.status : 0;
    outcome.attempt = entry->attempts;
    switch (decision.action) {
      case QXRetryDecision::Action::kDelivered:
        finished.push_back(entry->hit.id);
        report_.countSent();
        outcome.result = QXHitOutcome::Result::kDelivered;
        break;
      case QXRetryDecision::Action::kDrop:
        finished.push_back(entry->hit.id);
        report_.countDropped(1);
        outcome.result = QXHitOutcome::Result::kDropped;
        outcome.reason = describe(result);
        log("Hit " + entry->hit.identifier + " to " + QXLogText::url(entry->hit.url) +
                " dropped: " + QXLogText::escaped(outcome.reason),
            4);
        break;
      case QXRetryDecision::Action::kRetry:
        ++entry->failures;
        window_.back(*entry, now + decision.delay);
        report_.countRetried();
        outcome.result = QXHitOutcome::Result::kRetrying;
        outcome.retryDelay = decision.delay;
        outcome.reason = describe(result);
        // A network error may mean the network has gone: ask again before
        // the next request rather than up to an interval later.
        if (result.kind == QXSendResult::Kind::kTransportError) reachabilityStale_ = true;
        if (result.tlsVerification) tellLastingFailure(*entry, result);
        break;
    }
    outcomes.push_back(std::move(outcome));
  }
  window_.erase(finished);
  finished_.add(finished, now);
}

void QXDeliveryRound::tellLastingFailure(QXDeliveryWindow::Entry& entry,
                                         const QXSendResult& result) {
  // Once for a collector, and again only after it answered in between: a
  // host learns why nothing arrives without a line per attempt.
  QXCollectorHealth& health = window_.health(entry.origin);
  if (!health.answeredSinceTLSFailure()) return;
  health.noteTLSFailureTold();
  log("Hits to " + QXLogText::url(entry.origin) +
          " wait: the collector's certificate failed verification (" +
          QXLogText::escaped(result.error) + "); they are tried again",
      4);
}

void QXDeliveryRound::ingest(const QXDeliveryOptions& options, Clock::time_point now,
                             std::vector<QXHitOutcome>& outcomes) {
  ingester_.setOptions(QXDeliveryBounds::ingesterOptions(options));
  QXJournalIngester::Leave leave = bounds_.leaveOut(options, outbox_, journal_.backlog());
  leave.beforeMs = cutoffMs_;
  // The newest hits go to the window straight from the journal when it
  // holds every hit of the outbox; otherwise they are read in turn.
  const bool windowHoldsAll = outbox_.count() == window_.size() && finished_.empty();
  const size_t room = windowHoldsAll && window_.size() < QXDeliveryWindow::kMost
                          ? QXDeliveryWindow::kMost - window_.size()
                          : 0;
  std::vector<QXOutbox::Hit> stored;
  std::vector<QXHitJournal::Skipped> left;
  moreToIngest_ =
      ingester_.ingest(now, QXDeliveryBounds::ingestBudget(options), room, &stored, leave, &left);
  for (QXOutbox::Hit& hit : stored)
    window_.take(std::move(hit));
  size_t tooOld = 0;
  for (QXHitJournal::Skipped& hit : left) {
    tooOld += hit.tooOld ? 1 : 0;
    outcomes.push_back(droppedOutcome(std::string(), std::move(hit.url), hit.tooOld));
  }
  report_.countDropped(left.size());
  bounds_.count(left.size() - tooOld, tooOld);
  const uint64_t ingested = ingester_.ingested();
  notIngested_.fetch_sub(static_cast<int64_t>(ingested - ingestedSeen_));
  ingestedSeen_ = ingested;
  caughtUp_.store(ingester_.caughtUp());
}

void QXDeliveryRound::applyBounds(const QXDeliveryOptions& options,
                                  std::vector<QXHitOutcome>& outcomes) {
  // The journal's backlog holds the newest hits: the outbox keeps what the
  // bounds leave after them. The window holds the oldest hits, so its
  // oldest hit not in flight decides whether any hit is too old.
  const QXDeliveryBounds::Share share = QXDeliveryBounds::share(
      options.maxQueuedHits, bounds_.hitBytes(options, outbox_), journal_.backlog());
  const QXDeliveryWindow::Entry* oldest = window_.oldestWaiting();
  const bool anyTooOld = oldest != nullptr && oldest->hit.createdMs < cutoffMs_;
  if (!anyTooOld && !QXDeliveryBounds::over(outbox_, share)) return;
  std::vector<int64_t> keep = window_.inFlightIds();
  keep.insert(keep.end(), finished_.ids().begin(), finished_.ids().end());
  std::sort(keep.begin(), keep.end());
  const std::vector<QXOutbox::Dropped> dropped = bounds_.trimOutbox(
      outbox_, share, cutoffMs_, anyTooOld, keep, kMaxDropsPerRound, &moreToDrop_);
  if (dropped.empty()) return;
  std::vector<int64_t> ids;
  for (const QXOutbox::Dropped& hit : dropped) {
    ids.push_back(hit.id);
    outcomes.push_back(droppedOutcome(hit.identifier, hit.url, hit.tooOld));
  }
  report_.countDropped(dropped.size());
  window_.erase(ids);
}

void QXDeliveryRound::adoptOrphans(Clock::time_point now) {
  if (lastOwnerScan_ != Clock::time_point() && now - lastOwnerScan_ < kOwnerScanInterval) return;
  lastOwnerScan_ = now;
  // Adopted hits may lie before those the window has read.
  if (outbox_.adoptOrphans() > 0) window_.readFromStart();
}

int64_t QXDeliveryRound::ageCutoffMs(const QXDeliveryOptions& options) const {
  const int64_t maxAgeMs = static_cast<int64_t>(options.maxHitAge.count()) * 1000;
  return (environment_.nowMs ? environment_.nowMs() : 0) - maxAgeMs;
}

void QXDeliveryRound::dispatch(const QXDeliveryOptions& options, Clock::time_point now,
                               QXTransport* transport, Hold hold) {
  if (hold == Hold::kStopping) return;
  if (hold == Hold::kBackground) {
    pause_.store(static_cast<int>(QXDeliveryPause::kBackground), std::memory_order_release);
    return;
  }
  if (transport == nullptr || window_.empty()) {
    pause_.store(static_cast<int>(QXDeliveryPause::kNone), std::memory_order_release);
    return;
  }
  if (reachabilityStale_ || now - lastReachabilityCheck_ >= options.reachabilityInterval) {
    reachable_ = environment_.isReachable ? environment_.isReachable() : true;
    lastReachabilityCheck_ = now;
    reachabilityStale_ = false;
  }
  QXDeliveryWindow::Limits limits;
  limits.maxConnections = options.maxConnections;
  limits.parallelBacklog = options.parallelBacklog;
  limits.cutoffMs = cutoffMs_;
  // Offline, only a collector on this machine can still be reached.
  limits.reachable = reachable_;
  const std::vector<QXDeliveryWindow::Entry*> due = window_.due(now, limits);
  const bool offline = !reachable_ && due.empty() && window_.size() > inFlight_.load();
  pause_.store(static_cast<int>(offline ? QXDeliveryPause::kOffline : QXDeliveryPause::kNone),
               std::memory_order_release);
  for (QXDeliveryWindow::Entry* entry : due) {
    QXHTTPRequest request =
        QXBuildHitRequest(entry->hit.url, entry->hit.body, entry->hit.identifier, userAgent_);
    request.connectTimeout = options.connectTimeout;
    request.totalTimeout = options.requestTimeout;
    inFlight_.fetch_add(1);
    transport->start(static_cast<uint64_t>(entry->hit.id), std::move(request));
  }
}

std::optional<QXDeliveryRound::Clock::time_point> QXDeliveryRound::nextWake(
    const QXDeliveryOptions& options, Clock::time_point now) const {
  std::optional<Clock::time_point> wake;
  auto consider = [&](std::optional<Clock::time_point> at) {
    if (at && (!wake || *at < *wake)) wake = at;
  };
  if (moreToDrop_ || moreToIngest_) consider(now);
  consider(ingester_.nextWake());
  if (!outbox_.isOpen()) consider(openRetryAt_);
  consider(finished_.nextWake());
  if (bounds_.dropsUntold()) consider(bounds_.nextLog());
  if (pause() == QXDeliveryPause::kOffline)
    consider(lastReachabilityCheck_ + options.reachabilityInterval);
  if (pause() == QXDeliveryPause::kBackground) return wake;
  consider(window_.nextDue(now));
  // The oldest hit waiting leaves by age when its time is up; past due
  // means the bounds could not drop it this round: look again in a second
  // rather than spin.
  if (const QXDeliveryWindow::Entry* oldest = window_.oldestWaiting()) {
    const int64_t untilTooOld = oldest->hit.createdMs - cutoffMs_;
    consider(now + std::chrono::milliseconds(std::max<int64_t>(untilTooOld, 1000)));
  }
  return wake;
}

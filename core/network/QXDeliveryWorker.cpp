#include "core/network/QXDeliveryWorker.h"

#include <pthread.h>

#include <algorithm>

#include "core/QXGuard.h"
#include "core/QXLogText.h"
#include "core/QXLogger.h"

namespace {

// Hits kept in memory ahead of the connections: enough to keep several
// connections busy and to see past a collector that is backing off, small
// enough not to matter for memory.
constexpr size_t kWindow = 64;
constexpr std::chrono::seconds kDropLogInterval{60};
// A connection holds up to this many hits, and asks the worker for more
// once it is down to half: the worker then runs a round for every few
// answers rather than for each.
constexpr size_t kJobsPerConnection = 4;
constexpr size_t kMaxDropsPerRound = 512;
// How much of the journal one round moves into the outbox; more waits for
// the next round, so that answers are not held up behind a long replay.
constexpr size_t kIngestBudget = 2 * 1024 * 1024;
// While hits keep coming, the worker looks at the journal this often by
// itself, so that callers need not wake it ...
constexpr std::chrono::milliseconds kPollInterval{10};
// ... for this long after the last one.
constexpr std::chrono::seconds kPollFor{1};
constexpr std::chrono::milliseconds kRetryInterval{1000};

// What the connection itself needs to know of an answer: whether the hit
// will be tried again (the policy's full decision is the worker's).
bool willBeRetried(const QXSendResult& result) {
  switch (result.kind) {
    case QXSendResult::Kind::kResponse:
      return QXClassifyStatus(result.status) == QXRetryDecision::Action::kRetry;
    case QXSendResult::Kind::kInvalidRequest:
      return false;
    case QXSendResult::Kind::kTransportError:
    case QXSendResult::Kind::kAborted:
      break;
  }
  return true;
}

// How far the outbox may run over its maximum count before the worker trims
// it back: 1% (nothing for small bounds). A full outbox that keeps
// receiving hits is then trimmed once per hundred hits, in one transaction,
// rather than once per hit.
size_t trimThreshold(size_t maxQueuedHits) {
  return maxQueuedHits + maxQueuedHits / 100;
}

// The SDK's threads carry names of their own in a host's debugger, profiler
// and /proc.
void nameThread(const char* name) {
  ::pthread_setname_np(::pthread_self(), name);
}

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

}  // namespace

QXDeliveryWorker::QXDeliveryWorker(QXOutbox& outbox, QXHitJournal& journal, Environment environment,
                                   QXDeliveryOptions options)
    : outbox_(outbox),
      journal_(journal),
      environment_(std::move(environment)),
      ingester_(journal, outbox),
      options_(options) {
  journal_.setMaxBacklogBytes(options.maxQueuedBytes / 10);
}

QXDeliveryWorker::~QXDeliveryWorker() {
  stop(options().exitTimeout);
  std::vector<std::thread> remaining;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (workerThread_.joinable()) remaining.push_back(std::move(workerThread_));
    for (auto& connection : connections_) {
      if (connection->thread.joinable()) remaining.push_back(std::move(connection->thread));
    }
  }
  for (std::thread& thread : remaining)
    thread.join();
}

void QXDeliveryWorker::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_.load(std::memory_order_acquire) || stopping_) return;
  started_.store(true, std::memory_order_release);
  workerThread_ = std::thread([this] {
    nameThread("qx-delivery");
    run();
  });
}

void QXDeliveryWorker::hitAdded() {
  queued_.fetch_add(1, std::memory_order_relaxed);
  notIngested_.fetch_add(1, std::memory_order_relaxed);
  // The caller's thread takes the mutex and wakes the worker only when it
  // sleeps for long: a worker that is busy, or that looks at the journal by
  // itself, sees the flag in its next round (the two sequentially consistent
  // pairs of store and load cannot both miss).
  if (hitsWaiting_.exchange(true)) return;
  if (!workerWaiting_.load()) return;
  { std::lock_guard<std::mutex> lock(mutex_); }
  workerWake_.notify_one();
}

void QXDeliveryWorker::hitRefused(const QXHitOutcome& outcome) noexcept {
  dropped_.fetch_add(1, std::memory_order_relaxed);
  try {
    report({outcome});
  } catch (...) {
    // No memory to tell it: the hit is counted all the same.
  }
}

void QXDeliveryWorker::setInBackground(bool inBackground) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    inBackground_ = inBackground;
    wakeRequested_ = true;
  }
  workerWake_.notify_one();
}

void QXDeliveryWorker::enableRunningInBackground() {
  runInBackground_.store(true, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wakeRequested_ = true;
  }
  workerWake_.notify_one();
}

void QXDeliveryWorker::setOptions(const QXDeliveryOptions& options) {
  journal_.setMaxBacklogBytes(options.maxQueuedBytes / 10);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    options_ = options;
    wakeRequested_ = true;
  }
  workerWake_.notify_one();
}

QXDeliveryOptions QXDeliveryWorker::options() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return options_;
}

void QXDeliveryWorker::setOutcomeCallback(OutcomeCallback callback) {
  auto shared = callback ? std::make_shared<const OutcomeCallback>(std::move(callback)) : nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  callback_ = std::move(shared);
}

QXDeliveryCounters QXDeliveryWorker::counters() const {
  QXDeliveryCounters counters;
  counters.queued = queued_.load(std::memory_order_relaxed);
  counters.sent = sent_.load(std::memory_order_relaxed);
  counters.retried = retried_.load(std::memory_order_relaxed);
  counters.dropped = dropped_.load(std::memory_order_relaxed);
  counters.pending =
      outbox_.count() + static_cast<size_t>(std::max<int64_t>(notIngested_.load(), 0));
  return counters;
}

bool QXDeliveryWorker::drainedLocked() const {
  return !inRound_ && !hitsWaiting_.load() && caughtUp_.load() && outbox_.count() == 0 &&
         inFlight_ == 0 && completions_.empty();
}

bool QXDeliveryWorker::flush(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  wakeRequested_ = true;
  workerWake_.notify_one();
  drained_.wait_for(lock, timeout, [&] { return stopping_ || drainedLocked(); });
  return drainedLocked();
}

bool QXDeliveryWorker::stop(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const std::thread::id self = std::this_thread::get_id();
  std::vector<std::thread> ended;
  bool allEnded = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!stopping_) {
      stopping_ = true;
      for (auto& connection : connections_) {
        if (connection->sender) connection->sender->abort();
      }
    }
    workerWake_.notify_all();
    connectionWake_.notify_all();
    drained_.notify_all();
    auto everyThreadEnded = [&] {
      if (workerThread_.joinable() && workerThread_.get_id() != self && !workerFinished_)
        return false;
      for (const auto& connection : connections_) {
        if (connection->thread.joinable() && !connection->finished) return false;
      }
      return true;
    };
    allEnded = threadEnded_.wait_until(lock, deadline, everyThreadEnded);
    if (workerThread_.joinable() && workerFinished_) ended.push_back(std::move(workerThread_));
    for (auto& connection : connections_) {
      if (connection->thread.joinable() && connection->finished)
        ended.push_back(std::move(connection->thread));
    }
  }
  for (std::thread& thread : ended)
    thread.join();
  return allEnded;
}

void QXDeliveryWorker::run() {
  if (environment_.userAgent) userAgent_ = environment_.userAgent();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    std::vector<Completion> completions;
    completions.swap(completions_);
    inFlight_ -= completions.size();
    for (const Completion& completion : completions)
      connections_[completion.connection]->held = false;
    wakeRequested_ = false;
    if (hitsWaiting_.exchange(false)) {
      // Until this round has taken the new hits in, nothing is drained.
      caughtUp_.store(false);
      lastHitSeen_ = Clock::now();
    }
    const QXDeliveryOptions options = options_;
    inRound_ = true;
    lock.unlock();
    std::optional<Clock::time_point> wake = round(std::move(completions), options);
    lock.lock();
    inRound_ = false;
    drained_.notify_all();
    auto ready = [&] {
      return stopping_ || wakeRequested_ || !completions_.empty() || hitsWaiting_.load();
    };
    // Soon after a hit the worker looks again by itself; only a worker that
    // sleeps for long needs the caller to wake it.
    const Clock::time_point now = Clock::now();
    const bool polling = now - lastHitSeen_ < kPollFor;
    if (polling && (!wake || *wake > now + kPollInterval)) wake = now + kPollInterval;
    workerWaiting_.store(!polling);
    if (wake) {
      workerWake_.wait_until(lock, *wake, ready);
    } else {
      workerWake_.wait(lock, ready);
    }
    workerWaiting_.store(false);
  }
  workerFinished_ = true;
  threadEnded_.notify_all();
}

std::optional<QXDeliveryWorker::Clock::time_point> QXDeliveryWorker::round(
    std::vector<Completion> completions, const QXDeliveryOptions& options) {
  Clock::time_point now = Clock::now();
  if (!outbox_.isOpen() && now >= openRetryAt_ && !outbox_.open().ok())
    openRetryAt_ = now + kRetryInterval;
  const uint64_t generation = outbox_.generation();
  if (generation != generationSeen_) {
    // The database was replaced: the hits of the window are gone with it.
    window_.clear();
    unremoved_.clear();
    lastLoadedId_ = 0;
    generationSeen_ = generation;
  }
  std::vector<QXHitOutcome> outcomes;
  applyCompletions(completions, options, outcomes);
  if (!unremoved_.empty() && now >= removalRetryAt_) removeFinished({}, now);
  ingest(options, now);
  applyBounds(options, outcomes);
  refillWindow();
  logDrops(options, Clock::now());
  report(outcomes);

  outbox_.checkpointIfLarge(logLimit(options));
  if (options.maxQueuedBytes != 0) outbox_.releaseSpace(databaseRoom(options));
  bool idle = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    idle = inFlight_ == 0 && completions_.empty();
  }
  now = Clock::now();
  ingester_.makeDurableIfDue(now, idle && !moreToIngest_);
  if (idle && window_.empty() && outbox_.count() == 0 && ingester_.caughtUp())
    outbox_.shrinkIfEmpty();

  dispatch(options, now);
  std::optional<Clock::time_point> wake = nextWake(options, now);
  auto consider = [&](std::optional<Clock::time_point> at) {
    if (at && (!wake || *at < *wake)) wake = at;
  };
  consider(ingester_.nextWake());
  if (moreToIngest_) consider(now);
  if (!outbox_.isOpen()) consider(openRetryAt_);
  if (!unremoved_.empty()) consider(removalRetryAt_);
  return wake;
}

void QXDeliveryWorker::ingest(const QXDeliveryOptions& options, Clock::time_point now) {
  QXJournalIngester::Options ingesterOptions;
  // Segments are a small part of the bound, since the active one and the
  // prepared one are on disk all the time.
  if (options.maxQueuedBytes != 0) {
    ingesterOptions.rotateBytes = std::min<uint64_t>(512 * 1024, options.maxQueuedBytes / 64);
    ingesterOptions.chunkBytes =
        static_cast<size_t>(std::min<uint64_t>(512 * 1024, options.maxQueuedBytes / 32));
  }
  ingesterOptions.logLimit = logLimit(options);
  ingester_.setOptions(ingesterOptions);
  // The newest hits go to the window straight from the journal when it
  // holds every hit of the outbox; otherwise they are read in turn.
  const bool windowHoldsAll = outbox_.count() == window_.size() && unremoved_.empty();
  const size_t room = windowHoldsAll && window_.size() < kWindow ? kWindow - window_.size() : 0;
  std::vector<QXOutbox::Hit> stored;
  // A small part of the bound at a time, so that the outbox's bounds are
  // applied before the files can run far over them.
  const size_t budget =
      options.maxQueuedBytes == 0
          ? kIngestBudget
          : static_cast<size_t>(std::min<uint64_t>(
                kIngestBudget, std::max<uint64_t>(options.maxQueuedBytes / 64, 1)));
  moreToIngest_ = ingester_.ingest(now, budget, room, &stored);
  for (QXOutbox::Hit& hit : stored)
    addToWindow(std::move(hit));
  const uint64_t ingested = ingester_.ingested();
  notIngested_.fetch_sub(static_cast<int64_t>(ingested - ingestedSeen_));
  ingestedSeen_ = ingested;
  caughtUp_.store(ingester_.caughtUp());
}

void QXDeliveryWorker::addToWindow(QXOutbox::Hit hit) {
  lastLoadedId_ = hit.id;
  Entry entry;
  entry.origin = QXOriginOf(hit.url);
  entry.loopback = QXIsLoopbackOrigin(entry.origin);
  entry.hit = std::move(hit);
  window_.push_back(std::move(entry));
}

void QXDeliveryWorker::removeFinished(std::vector<int64_t> ids, Clock::time_point now) {
  ids.insert(ids.end(), unremoved_.begin(), unremoved_.end());
  if (ids.empty()) return;
  const QXStatus status = outbox_.remove(ids);
  if (status.ok()) {
    if (removalsFailing_) {
      QXLogger::sharedInstance().logMessage(
          "Delivery outbox removes delivered hits again; none is sent twice", 3);
    }
    removalsFailing_ = false;
    unremoved_.clear();
    return;
  }
  // Delivered hits that cannot be removed (disk full) are kept apart and
  // removed later; they are never sent again meanwhile.
  unremoved_ = std::move(ids);
  std::sort(unremoved_.begin(), unremoved_.end());
  unremoved_.erase(std::unique(unremoved_.begin(), unremoved_.end()), unremoved_.end());
  removalRetryAt_ = now + kRetryInterval;
  if (!removalsFailing_) {
    QXLogger::sharedInstance().logMessage(
        "Delivery outbox cannot remove delivered hits (" + status.message() +
            "); they are not sent again, and removing them is tried again every second",
        4);
  }
  removalsFailing_ = true;
}

void QXDeliveryWorker::applyCompletions(std::vector<Completion>& completions,
                                        const QXDeliveryOptions& options,
                                        std::vector<QXHitOutcome>& outcomes) {
  if (completions.empty()) return;
  const QXRetryPolicy policy = policyFor(options);
  const Clock::time_point now = Clock::now();
  std::vector<int64_t> finished;
  for (Completion& completion : completions) {
    if (completion.generation != generationSeen_) continue;
    auto it = std::find_if(window_.begin(), window_.end(),
                           [&](const Entry& entry) { return entry.hit.id == completion.id; });
    if (it == window_.end()) continue;
    Entry& entry = *it;
    entry.inFlight = false;
    if (completion.returned) continue;
    const QXSendResult& result = completion.result;
    if (result.kind == QXSendResult::Kind::kAborted) continue;
    ++entry.attempts;
    OriginState& origin = origins_[entry.origin];
    const int failures = origin.failures + 1;
    const double random = environment_.random01 ? environment_.random01() : 0.5;
    const QXRetryDecision decision = policy.decide(failures, result, random);

    QXHitOutcome outcome;
    outcome.hitIdentifier = entry.hit.identifier;
    outcome.url = entry.hit.url;
    outcome.httpStatus = result.kind == QXSendResult::Kind::kResponse ? result.status : 0;
    outcome.attempt = entry.attempts;
    switch (decision.action) {
      case QXRetryDecision::Action::kDelivered:
        origins_.erase(entry.origin);
        finished.push_back(entry.hit.id);
        sent_.fetch_add(1, std::memory_order_relaxed);
        outcome.result = QXHitOutcome::Result::kDelivered;
        break;
      case QXRetryDecision::Action::kDrop:
        finished.push_back(entry.hit.id);
        dropped_.fetch_add(1, std::memory_order_relaxed);
        outcome.result = QXHitOutcome::Result::kDropped;
        outcome.reason = describe(result);
        QXLogger::sharedInstance().logMessage("Hit " + entry.hit.identifier + " to " +
                                                  QXLogText::url(entry.hit.url) +
                                                  " dropped: " + QXLogText::escaped(outcome.reason),
                                              4);
        break;
      case QXRetryDecision::Action::kRetry:
        origin.failures = failures;
        origin.notBefore = now + decision.delay;
        retried_.fetch_add(1, std::memory_order_relaxed);
        outcome.result = QXHitOutcome::Result::kRetrying;
        outcome.retryDelay = decision.delay;
        outcome.reason = describe(result);
        // A network error may mean the network has gone: ask again before
        // the next request rather than up to an interval later.
        if (result.kind == QXSendResult::Kind::kTransportError) reachabilityStale_ = true;
        break;
    }
    outcomes.push_back(std::move(outcome));
  }
  if (finished.empty()) return;
  removeFinished(finished, now);
  std::sort(finished.begin(), finished.end());
  window_.erase(std::remove_if(window_.begin(), window_.end(),
                               [&](const Entry& entry) {
                                 return std::binary_search(finished.begin(), finished.end(),
                                                           entry.hit.id);
                               }),
                window_.end());
}

void QXDeliveryWorker::applyBounds(const QXDeliveryOptions& options,
                                   std::vector<QXHitOutcome>& outcomes) {
  const int64_t maxAgeMs = static_cast<int64_t>(options.maxHitAge.count()) * 1000;
  const int64_t cutoff = (environment_.nowMs ? environment_.nowMs() : 0) - maxAgeMs;
  moreToDrop_ = false;
  const uint64_t maxBytes = byteTarget(options);
  const bool overCount = outbox_.count() > trimThreshold(options.maxQueuedHits) ||
                         (maxBytes != 0 && outbox_.bytes() > maxBytes);
  // The window holds the oldest hits, so its oldest hit not in flight
  // decides whether any hit is too old.
  bool tooOld = false;
  bool oldestSeen = false;
  std::vector<int64_t> keep;
  for (const Entry& entry : window_) {
    if (entry.inFlight) {
      keep.push_back(entry.hit.id);
    } else if (!oldestSeen) {
      oldestSeen = true;
      tooOld = entry.hit.createdMs < cutoff;
    }
  }
  if (!overCount && !tooOld) return;
  keep.insert(keep.end(), unremoved_.begin(), unremoved_.end());
  std::sort(keep.begin(), keep.end());
  const std::vector<QXOutbox::Dropped> dropped =
      outbox_.enforceBounds(options.maxQueuedHits, maxBytes, cutoff, keep, kMaxDropsPerRound);
  if (dropped.empty()) return;
  // A bound lowered far below the count is worked off over several rounds.
  moreToDrop_ = dropped.size() == kMaxDropsPerRound;

  std::vector<int64_t> ids;
  size_t oldCount = 0;
  for (const QXOutbox::Dropped& hit : dropped) {
    ids.push_back(hit.id);
    if (hit.tooOld) ++oldCount;
    QXHitOutcome outcome;
    outcome.result = QXHitOutcome::Result::kDropped;
    outcome.hitIdentifier = hit.identifier;
    outcome.url = hit.url;
    outcome.reason = hit.tooOld ? "older than the outbox's maximum age"
                                : "beyond the outbox's maximum number of hits or bytes";
    outcomes.push_back(std::move(outcome));
  }
  dropped_.fetch_add(dropped.size(), std::memory_order_relaxed);
  std::sort(ids.begin(), ids.end());
  window_.erase(std::remove_if(window_.begin(), window_.end(),
                               [&](const Entry& entry) {
                                 return std::binary_search(ids.begin(), ids.end(), entry.hit.id);
                               }),
                window_.end());
  unloggedOverCount_ += dropped.size() - oldCount;
  unloggedTooOld_ += oldCount;
}

void QXDeliveryWorker::logDrops(const QXDeliveryOptions& options, Clock::time_point now) {
  if (unloggedOverCount_ + unloggedTooOld_ == 0) return;
  // An application that keeps tracking while the outbox is full drops a hit
  // for every hit it adds: one line a minute says so without flooding.
  if (dropsLogged_ && now - lastDropLog_ < kDropLogInterval) return;
  QXLogger::sharedInstance().logMessage(
      "Delivery outbox bounds: dropped the oldest " +
          std::to_string(unloggedOverCount_ + unloggedTooOld_) + " hit(s) (" +
          std::to_string(unloggedOverCount_) + " beyond " + std::to_string(options.maxQueuedHits) +
          " hits or " + std::to_string(options.maxQueuedBytes) + " bytes, " +
          std::to_string(unloggedTooOld_) + " older than " +
          std::to_string(options.maxHitAge.count()) + " s)",
      3);
  unloggedOverCount_ = 0;
  unloggedTooOld_ = 0;
  dropsLogged_ = true;
  lastDropLog_ = now;
}

void QXDeliveryWorker::refillWindow() {
  const size_t stored = outbox_.count() - std::min(outbox_.count(), unremoved_.size());
  if (window_.size() >= kWindow || stored <= window_.size()) return;
  std::vector<QXOutbox::Hit> hits = outbox_.read(lastLoadedId_, kWindow - window_.size());
  // Another process using the same outbox may have sent some of the hits
  // this one counted.
  if (hits.empty() && window_.empty() && unremoved_.empty()) outbox_.recount();
  for (QXOutbox::Hit& hit : hits) {
    // Delivered hits whose removal failed stay in the outbox, below the
    // window's last id: they are never read again.
    addToWindow(std::move(hit));
  }
}

uint64_t QXDeliveryWorker::logLimit(const QXDeliveryOptions& options) {
  constexpr uint64_t kMost = 4 * 1024 * 1024;
  return options.maxQueuedBytes == 0 ? kMost : std::min(kMost, options.maxQueuedBytes / 16);
}

uint64_t QXDeliveryWorker::databaseRoom(const QXDeliveryOptions& options) const {
  // Nine tenths of the bound, less the log and the journal.
  const uint64_t share = options.maxQueuedBytes / 10 * 9;
  const uint64_t others = logLimit(options) + journal_.diskBytes();
  return share > others ? share - others : options.maxQueuedBytes / 10;
}

uint64_t QXDeliveryWorker::byteTarget(const QXDeliveryOptions& options) {
  if (options.maxQueuedBytes == 0) return 0;
  const uint64_t bound = options.maxQueuedBytes;
  const uint64_t room = databaseRoom(options);
  // A byte of hit takes more than a byte of pages there (page slack,
  // b-trees): as measured on the hits stored, a quarter more until there are
  // enough of them.
  const uint64_t stored = outbox_.bytes();
  const uint64_t moved =
      stored > lastMeasuredBytes_ ? stored - lastMeasuredBytes_ : lastMeasuredBytes_ - stored;
  if (stored >= 64 * 1024 && moved >= bound / 32) {
    lastMeasuredBytes_ = stored;
    pagesPerByte_ = std::clamp(
        static_cast<double>(outbox_.pageBytes()) / static_cast<double>(stored), 1.0, 4.0);
  }
  return static_cast<uint64_t>(static_cast<double>(room) / pagesPerByte_);
}

bool QXDeliveryWorker::eligible(const Entry& entry, Clock::time_point now) const {
  if (entry.inFlight) return false;
  const auto origin = origins_.find(entry.origin);
  if (origin == origins_.end()) return true;
  if (origin->second.notBefore > now) return false;
  if (origin->second.failures == 0) return true;
  // A collector that has failed is probed with one request at a time.
  return std::none_of(window_.begin(), window_.end(), [&](const Entry& other) {
    return other.inFlight && other.origin == entry.origin;
  });
}

void QXDeliveryWorker::dispatch(const QXDeliveryOptions& options, Clock::time_point now) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (inBackground_ && !runInBackground_.load(std::memory_order_acquire)) {
      pause_.store(static_cast<int>(QXDeliveryPause::kBackground), std::memory_order_release);
      return;
    }
  }
  const bool anyEligible = std::any_of(window_.begin(), window_.end(),
                                       [&](const Entry& entry) { return eligible(entry, now); });
  if (!anyEligible) {
    if (pause_.load(std::memory_order_acquire) == static_cast<int>(QXDeliveryPause::kBackground))
      pause_.store(static_cast<int>(QXDeliveryPause::kNone), std::memory_order_release);
    return;
  }
  if (reachabilityStale_ || now - lastReachabilityCheck_ >= options.reachabilityInterval) {
    reachable_ = environment_.isReachable ? environment_.isReachable() : true;
    lastReachabilityCheck_ = now;
    reachabilityStale_ = false;
  }
  // Offline, only a collector on this machine can still be reached.
  auto sendable = [&](const Entry& entry) {
    return eligible(entry, now) && (reachable_ || entry.loopback);
  };
  if (!reachable_ && std::none_of(window_.begin(), window_.end(), sendable)) {
    pause_.store(static_cast<int>(QXDeliveryPause::kOffline), std::memory_order_release);
    return;
  }
  pause_.store(static_cast<int>(QXDeliveryPause::kNone), std::memory_order_release);

  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  const size_t stored = outbox_.count();
  const size_t waiting = stored > inFlight_ ? stored - inFlight_ : 0;
  size_t wanted = static_cast<size_t>(std::max(1, options.maxConnections));
  if (waiting <= options.parallelBacklog) wanted = 1;
  bool handedOut = false;
  auto next = window_.begin();
  for (size_t i = 0; i < wanted && next != window_.end(); ++i) {
    if (i == connections_.size()) connections_.push_back(std::make_unique<Connection>());
    Connection& connection = *connections_[i];
    while (!connection.held &&
           connection.jobs.size() + (connection.sending ? 1 : 0) < kJobsPerConnection) {
      next = std::find_if(next, window_.end(), sendable);
      if (next == window_.end()) break;
      Entry& entry = *next;
      entry.inFlight = true;
      Job job;
      job.id = entry.hit.id;
      job.generation = generationSeen_;
      job.request =
          QXBuildHitRequest(entry.hit.url, entry.hit.body, entry.hit.identifier, userAgent_);
      job.request.connectTimeout = options.connectTimeout;
      job.request.totalTimeout = options.requestTimeout;
      connection.jobs.push_back(std::move(job));
      ++inFlight_;
      handedOut = true;
    }
    if (!connection.jobs.empty() && !connection.thread.joinable() && !connection.finished) {
      Connection* raw = &connection;
      connection.thread = std::thread([this, raw, i] {
        nameThread("qx-connection");
        connectionLoop(raw, i);
      });
    }
  }
  if (handedOut) connectionWake_.notify_all();
}

std::optional<QXDeliveryWorker::Clock::time_point> QXDeliveryWorker::nextWake(
    const QXDeliveryOptions& options, Clock::time_point now) const {
  std::optional<Clock::time_point> wake;
  auto consider = [&](Clock::time_point at) {
    if (!wake || at < *wake) wake = at;
  };
  if (moreToDrop_) consider(now);
  if (pause_.load(std::memory_order_acquire) == static_cast<int>(QXDeliveryPause::kOffline) &&
      outbox_.count() > 0)
    consider(lastReachabilityCheck_ + options.reachabilityInterval);
  if (unloggedOverCount_ + unloggedTooOld_ > 0) consider(lastDropLog_ + kDropLogInterval);
  for (const auto& item : origins_) {
    const std::string& name = item.first;
    const OriginState& origin = item.second;
    if (origin.notBefore <= now) continue;
    const bool waiting = std::any_of(window_.begin(), window_.end(), [&](const Entry& entry) {
      return !entry.inFlight && entry.origin == name;
    });
    if (waiting) consider(origin.notBefore);
  }
  for (const Entry& entry : window_) {
    if (entry.inFlight) continue;
    const int64_t maxAgeMs = static_cast<int64_t>(options.maxHitAge.count()) * 1000;
    const int64_t nowMs = environment_.nowMs ? environment_.nowMs() : 0;
    const int64_t untilTooOld = entry.hit.createdMs + maxAgeMs - nowMs;
    // Past due means the bounds could not drop it this round; look again in
    // a second rather than spin.
    consider(now + std::chrono::milliseconds(std::max<int64_t>(untilTooOld, 1000)));
    break;
  }
  return wake;
}

void QXDeliveryWorker::report(const std::vector<QXHitOutcome>& outcomes) noexcept {
  if (outcomes.empty()) return;
  std::shared_ptr<const OutcomeCallback> callback;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    callback = callback_;
  }
  if (!callback) return;
  for (const QXHitOutcome& outcome : outcomes) {
    // The callback is the host's: what it throws stays here, on whichever
    // thread the outcome is told, and delivery goes on.
    try {
      (*callback)(outcome);
    } catch (...) {
      callbackThrew(QXCurrentExceptionText());
    }
  }
}

void QXDeliveryWorker::callbackThrew(const char* what) noexcept {
  if (callbackThrewBefore_.exchange(true)) return;
  try {
    QXLogger::sharedInstance().logMessage(std::string("The delivery outcome callback threw (") +
                                              what + "); what it throws is ignored from now on",
                                          4);
  } catch (...) {
  }
}

void QXDeliveryWorker::connectionLoop(Connection* connection, size_t index) {
  std::unique_ptr<QXHTTPSender> made =
      environment_.makeSender ? environment_.makeSender() : std::unique_ptr<QXHTTPSender>();
  QXHTTPSender* sender = made.get();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connection->sender = std::move(made);
    if (stopping_ && sender != nullptr) sender->abort();
  }
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      connectionWake_.wait(lock, [&] { return stopping_ || !connection->jobs.empty(); });
      if (stopping_) break;
      job = std::move(connection->jobs.front());
      connection->jobs.pop_front();
      connection->sending = true;
    }
    QXSendResult result =
        sender != nullptr ? sender->send(job.request)
                          : QXSendResult::failure(QXSendResult::Kind::kTransportError, "no sender");
    const bool retried = willBeRetried(result);
    bool wantsMore = true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connection->sending = false;
      completions_.push_back(Completion{job.id, job.generation, std::move(result), index, false});
      if (retried) {
        for (Job& waiting : connection->jobs)
          completions_.push_back(Completion{waiting.id, waiting.generation, {}, index, true});
        connection->jobs.clear();
        connection->held = true;
      }
      wantsMore = retried || connection->jobs.size() < kJobsPerConnection / 2;
    }
    if (wantsMore) workerWake_.notify_one();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connection->finished = true;
  }
  threadEnded_.notify_all();
}

#include "core/network/QXDeliveryWorker.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>

namespace {

// A thread of the SDK's: named in a host's debugger, profiler and /proc,
// and with every asynchronous signal blocked, so that the host's signals go
// to the host's threads (a host that takes SIGTERM with sigwait() in one of
// its own, say). Faults stay deliverable: a crash is reported as a crash.
std::thread startThread(const char* name, std::function<void()> body) {
  sigset_t blocked;
  sigset_t previous;
  sigfillset(&blocked);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
    sigdelset(&blocked, fault);
  // The new thread takes the mask of the one that makes it.
  pthread_sigmask(SIG_SETMASK, &blocked, &previous);
  std::thread thread([name, body = std::move(body)] {
    ::pthread_setname_np(::pthread_self(), name);
    body();
  });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return thread;
}

}  // namespace

QXDeliveryWorker::QXDeliveryWorker(QXOutbox& outbox, QXHitJournal& journal, Environment environment,
                                   QXDeliveryOptions options)
    : outbox_(outbox),
      journal_(journal),
      environment_(std::move(environment)),
      round_(outbox, journal,
             QXDeliveryRound::Environment{environment_.isReachable, environment_.nowMs,
                                          environment_.random01},
             report_),
      options_(options) {
  // Known to the journal before the first hit, which may come before the
  // worker's first round.
  journal_.setRotateBytes(QXDeliveryBounds::segmentBytes(options));
  maxHitBytes_.store(options.maxHitBytes, std::memory_order_relaxed);
}

QXDeliveryWorker::~QXDeliveryWorker() {
  stop(options().exitTimeout);
  std::thread remaining;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (workerThread_.joinable()) remaining = std::move(workerThread_);
  }
  if (remaining.joinable()) remaining.join();
}

void QXDeliveryWorker::start(std::chrono::milliseconds firstRoundAfter) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_.load(std::memory_order_acquire) || stopping_) return;
  started_.store(true, std::memory_order_release);
  workerThread_ = startThread("qx-delivery", [this, firstRoundAfter] { run(firstRoundAfter); });
}

void QXDeliveryWorker::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  wakeRequested_ = true;
  if (transport_ != nullptr) transport_->wakeup();
}

void QXDeliveryWorker::hitAdded() {
  report_.countQueued();
  round_.countAdded();
  // The caller's thread takes the mutex and wakes the worker only when it
  // sleeps: a worker in a round sees the flag in its next one (the two
  // sequentially consistent pairs of store and load cannot both miss).
  if (hitsWaiting_.exchange(true)) return;
  if (!sleeping_.load()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (transport_ != nullptr) transport_->wakeup();
}

void QXDeliveryWorker::hitRefused(const QXHitOutcome& outcome) noexcept {
  report_.countDropped(1);
  try {
    report_.tell({outcome});
  } catch (...) {
    // No memory to tell it: the hit is counted all the same.
  }
}

void QXDeliveryWorker::setInBackground(bool inBackground) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    inBackground_ = inBackground;
  }
  wake();
}

void QXDeliveryWorker::enableRunningInBackground() {
  runInBackground_.store(true, std::memory_order_release);
  wake();
}

void QXDeliveryWorker::setOptions(const QXDeliveryOptions& options) {
  journal_.setRotateBytes(QXDeliveryBounds::segmentBytes(options));
  maxHitBytes_.store(options.maxHitBytes, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    options_ = options;
  }
  wake();
}

QXDeliveryOptions QXDeliveryWorker::options() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return options_;
}

void QXDeliveryWorker::lockForFork() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (workerThread_.get_id() != std::this_thread::get_id()) {
    ++forksWaiting_;
    drained_.wait(lock, [&] { return !inRound_; });
    --forksWaiting_;
  }
  lock.release();  // held across fork(), by this thread
}

QXDeliveryCounters QXDeliveryWorker::counters() const {
  QXDeliveryCounters counters = report_.counters();
  counters.pending =
      outbox_.count() + static_cast<size_t>(std::max<int64_t>(round_.notIngested(), 0));
  return counters;
}

bool QXDeliveryWorker::drainedLocked() const {
  return !inRound_ && !hitsWaiting_.load() && round_.caughtUp() && outbox_.count() == 0 &&
         round_.inFlight() == 0;
}

bool QXDeliveryWorker::flush(std::chrono::milliseconds timeout) {
  wake();
  std::unique_lock<std::mutex> lock(mutex_);
  drained_.wait_for(lock, timeout, [&] { return stopping_ || drainedLocked(); });
  return drainedLocked();
}

bool QXDeliveryWorker::stop(std::chrono::milliseconds timeout) {
  std::thread ended;
  bool allEnded = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    if (transport_ != nullptr) transport_->wakeup();
    drained_.notify_all();
    const bool self = workerThread_.get_id() == std::this_thread::get_id();
    allEnded = self || !workerThread_.joinable() ||
               threadEnded_.wait_for(lock, timeout, [&] { return workerFinished_; });
    if (!self && workerThread_.joinable() && workerFinished_) ended = std::move(workerThread_);
  }
  if (ended.joinable()) ended.join();
  return allEnded;
}

void QXDeliveryWorker::run(std::chrono::milliseconds firstRoundAfter) {
  std::unique_ptr<QXTransport> transport =
      environment_.makeTransport ? environment_.makeTransport() : nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    transport_ = transport.get();
  }
  if (firstRoundAfter.count() > 0) sleepUntil(transport.get(), Clock::now() + firstRoundAfter);
  if (environment_.userAgent) round_.setUserAgent(environment_.userAgent());
  for (;;) {
    QXDeliveryOptions options;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      wakeRequested_ = false;
      inRound_ = true;
      options = options_;
    }
    // Until this round has taken the new hits in, nothing is drained.
    if (hitsWaiting_.exchange(false)) round_.setCaughtUp(false);
    std::vector<QXTransport::Answer> answers;
    if (transport) answers = transport->collect();
    const std::optional<Clock::time_point> wakeAt =
        round_.run(std::move(answers), options, transport.get(), [this] {
          // Asked at the moment requests would start: a change just before
          // holds them back.
          std::lock_guard<std::mutex> lock(mutex_);
          if (stopping_) return QXDeliveryRound::Hold::kStopping;
          return inBackground_ && !runInBackground_.load(std::memory_order_acquire)
                     ? QXDeliveryRound::Hold::kBackground
                     : QXDeliveryRound::Hold::kNone;
        });
    bool tell = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      inRound_ = false;
      // Waking a flush() that would only wait again costs it and this
      // thread a switch each, round after round of a drain.
      tell = forksWaiting_ > 0 || drainedLocked();
    }
    if (tell) drained_.notify_all();
    sleepUntil(transport.get(), wakeAt);
  }
  // The transfers under way end here; their hits stay in the outbox for the
  // next launch, which sends them under the same identifiers.
  if (transport) transport->abortAll();
  // Hits delivered in the last moment are not sent again by the next launch.
  round_.finish();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    transport_ = nullptr;
  }
  transport.reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workerFinished_ = true;
  }
  threadEnded_.notify_all();
}

void QXDeliveryWorker::sleepUntil(QXTransport* transport,
                                  std::optional<Clock::time_point> deadline) {
  sleeping_.store(true);
  bool woken = hitsWaiting_.load();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken = woken || stopping_ || wakeRequested_;
  }
  if (!woken && transport != nullptr) transport->waitForActivity(deadline);
  sleeping_.store(false);
}

#include "core/QXNetworkManager.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "core/QXCallbackSlot.h"
#include "core/QXCoreConstants.h"
#include "core/QXCoreVariables.h"
#include "core/QXGuard.h"
#include "core/QXLogger.h"
#include "core/QXReachability.h"
#include "core/QXUtils.h"
#include "core/network/QXCurlTransport.h"
#include "core/network/QXDeliveryWorker.h"
#include "core/network/QXHitJournal.h"
#include "core/network/QXOutbox.h"
#include "platform/QXNotificationCenter.h"
#include "platform/QXPlatform.h"
#include "platform/QXPlatformUse.h"

namespace {

constexpr const char* kOutboxFileName = "outbox.sqlite";
// The worker's first look at what an earlier launch left waits this long,
// or for the first hit: the host's start-up keeps the processor.
constexpr std::chrono::milliseconds kFirstLookAfter{100};

// The manager once made, for the exit and fork handlers, which must not
// make one.
std::atomic<QXNetworkManager*> gManager{nullptr};

}  // namespace

struct QXNetworkManager::Impl {
  using OutcomeCallback = std::function<void(const QXHitOutcome&)>;

  Impl(std::string directoryPath, std::string outboxFile,
       QXDeliveryWorker::Environment workerEnvironment, const QXDeliveryOptions& options)
      : directory(std::move(directoryPath)),
        path(std::move(outboxFile)),
        environment(std::move(workerEnvironment)),
        journal(directory),
        outbox(path),
        worker(outbox, journal, environment, options) {
    // The worker tells every outcome here; the slot decides who hears it,
    // so that a host replacing its callback waits for the one running.
    worker.setOutcomeCallback([this](const QXHitOutcome& outcome) {
      outcomeSlot.call(
          [&](const std::shared_ptr<const OutcomeCallback>& callback) { (*callback)(outcome); });
    });
  }

  // Stores the hit of a request notification; never throws, and a hit it
  // cannot store is counted as dropped.
  void onRequest(const QXNotification& notification) noexcept;
  void refuse(const std::string& url, const char* reason, const char* detail) noexcept;
  void startWorker(std::chrono::milliseconds firstRoundAfter = std::chrono::milliseconds(0));

  // Constant after construction: what a child's delivery is made of too.
  const std::string directory;
  const std::string path;
  const QXDeliveryWorker::Environment environment;

  // Before the worker, whose threads may tell outcomes until it is gone.
  QXCallbackSlot<std::shared_ptr<const OutcomeCallback>> outcomeSlot;
  QXHitJournal journal;
  QXOutbox outbox;
  QXDeliveryWorker worker;
  std::atomic<bool> exited{false};
  // What the application's transitions last said, for a child's worker.
  std::atomic<bool> inBackground{false};
  std::atomic<bool> flushInCallbackTold{false};
};

QXNetworkManager::QXNetworkManager() = default;
// Only a manager whose initialisation failed is ever destroyed: its
// observations go with it.
QXNetworkManager::~QXNetworkManager() {
  QXNotificationCenter::defaultCenter()->removeObserver(this);
}

QXNetworkManager* QXNetworkManager::init() {
  initSingleton();
  QXMarkPlatformInUse();  // the outbox stays in this platform's directory
  QXPlatform& platform = QXPlatform::current();
  const std::string directory = platform.dataDirectory();
  const std::string path = directory.empty() ? std::string() : directory + "/" + kOutboxFileName;

  QXDeliveryWorker::Environment environment;
  // curl is set up by the transport, on the SDK's thread: see
  // keepTLSThroughExit() below.
  environment.makeTransport = []() -> std::unique_ptr<QXTransport> {
    return std::make_unique<QXCurlTransport>();
  };
  environment.isReachable = [] { return QXReachability(QXPlatform::current()).isReachable(); };
  environment.nowMs = [] {
    return QXUtils::millisecondsFromSeconds(QXPlatform::current().secondsSince1970());
  };
  environment.random01 = [] {
    return static_cast<double>(QXPlatform::current().random32()) / 4294967296.0;
  };
  environment.userAgent = [] {
    return QXCoreVariables::sharedInstance()
        .getData(kQXPredefinedVariable_UserAgent)
        .value_or(std::string());
  };
  impl_ = std::make_unique<Impl>(directory, path, std::move(environment), QXDeliveryOptions());

  // The observers reach the delivery through impl_, which a child process
  // replaces with one of its own.
  const auto center = QXNotificationCenter::defaultCenter();
  center->addObserver(this, kQXNotification_HTTPRequest, [this](const QXNotification& note) {
    if (impl_) impl_->onRequest(note);
  });
  center->addObserver(this, kQXNotification_OnBackground, [this](const QXNotification&) {
    if (!impl_) return;
    impl_->inBackground.store(true);
    impl_->worker.setInBackground(true);
  });
  center->addObserver(this, kQXNotification_OnForeground, [this](const QXNotification&) {
    if (!impl_) return;
    impl_->inBackground.store(false);
    impl_->worker.setInBackground(false);
  });
  // The transport is set up later, on the worker's side; the TLS library it
  // brings must not tear itself down at exit under it or before this
  // handler has stopped the transfers.
  QXCurlTransport::keepTLSThroughExit();
  std::atexit(&QXNetworkManager::stopAtExit);
  // The log registers its fork handlers when it is made: made first, it is
  // locked after the delivery across a fork, in the order the SDK's threads
  // take the two.
  QXLogger::sharedInstance();
  ::pthread_atfork(&QXNetworkManager::prepareFork, &QXNetworkManager::parentAfterFork,
                   &QXNetworkManager::childAfterFork);
  gManager.store(this, std::memory_order_release);
  // The worker starts with the first tracker and looks at what an earlier
  // launch left a moment later: a backlog goes out even when the
  // application makes no hit. The transport is set up on the worker's side
  // when the first request goes, off the host's threads.
  impl_->startWorker(kFirstLookAfter);
  return this;
}

void QXNetworkManager::stopAtExit() {
  QXNetworkManager* manager = gManager.load(std::memory_order_acquire);
  if (manager == nullptr || !manager->impl_) return;
  Impl& impl = *manager->impl_;
  if (impl.exited.exchange(true)) return;
  // With every thread of the worker ended, the outbox is closed too: its
  // log folded in, nothing of SQLite's left behind. A thread still ending
  // may yet use it, so then it stays open.
  if (impl.worker.stop(impl.worker.options().exitTimeout)) impl.outbox.close();
}

// --- Fork ------------------------------------------------------------------
// The parent's delivery is the parent's: its threads are not in the child,
// and its journal and outbox are its own to write. Across fork() the
// parent holds the worker's, the journal's and the outbox's locks
// (whatever the SDK's threads were doing, the child finds them whole, and
// none of them inside SQLite); the child lets go of its copies of the
// parent's files, and takes a delivery of its own with the parent's
// options and outcome callback, started with its first hit.

void QXNetworkManager::prepareFork() {
  QXNetworkManager* manager = gManager.load(std::memory_order_acquire);
  if (manager == nullptr || !manager->impl_) return;
  // The order in which the SDK's threads may nest them; the outbox last, so
  // that none of them is inside SQLite at the fork.
  manager->impl_->worker.lockForFork();
  manager->impl_->journal.lockForFork();
  manager->impl_->outbox.lockForFork();
  manager->impl_->outcomeSlot.lockForFork();
}

void QXNetworkManager::parentAfterFork() {
  QXNetworkManager* manager = gManager.load(std::memory_order_acquire);
  if (manager == nullptr || !manager->impl_) return;
  manager->impl_->outcomeSlot.unlockAfterFork();
  manager->impl_->outbox.unlockInParent();
  manager->impl_->journal.unlockInParent();
  manager->impl_->worker.unlockAfterFork();
}

void QXNetworkManager::childAfterFork() {
  QXNetworkManager* manager = gManager.load(std::memory_order_acquire);
  if (manager == nullptr || !manager->impl_) return;
  Impl& parent = *manager->impl_;
  parent.journal.abandonInChild();
  parent.outbox.abandonInChild();
  const QXDeliveryOptions options = parent.worker.optionsLocked();
  std::shared_ptr<const Impl::OutcomeCallback> callback = parent.outcomeSlot.currentLocked();
  parent.outcomeSlot.unlockAfterFork();
  const bool runInBackground = parent.worker.runsInBackground();
  const bool inBackground = parent.inBackground.load();
  parent.worker.unlockAfterFork();
  // Kept, never used nor destroyed: its thread objects would end the
  // process if they were.
  static auto* inherited = new std::vector<std::unique_ptr<Impl>>;
  try {
    inherited->push_back(std::move(manager->impl_));
  } catch (...) {
    (void)manager->impl_.release();
  }
  try {
    auto own = std::make_unique<Impl>(parent.directory, parent.path, parent.environment, options);
    own->outcomeSlot.set(std::move(callback));
    if (runInBackground) own->worker.enableRunningInBackground();
    own->inBackground.store(inBackground);
    own->worker.setInBackground(inBackground);
    manager->impl_ = std::move(own);
  } catch (...) {
    // No memory in the child for a delivery of its own: it has none, and
    // its hits are refused.
  }
}

void QXNetworkManager::Impl::startWorker(std::chrono::milliseconds firstRoundAfter) {
  worker.start(firstRoundAfter);
}

void QXNetworkManager::Impl::onRequest(const QXNotification& notification) noexcept {
  const QXUserInfo* userInfo = notification.userInfo ? &*notification.userInfo : nullptr;
  const auto url = userInfo ? userInfo->find(kQXUserInfo_URLKey) : QXUserInfo::const_iterator();
  const auto body = userInfo ? userInfo->find(kQXUserInfo_POSTData) : QXUserInfo::const_iterator();
  if (userInfo == nullptr || url == userInfo->end() || url->second.empty() ||
      body == userInfo->end()) {
    // Not a tracker's: said each time, since it is a fault of the poster.
    QXLogger::sharedInstance().logMessage("Request notification without a URL or a body refused",
                                          4);
    refuse(std::string(), "the request notification has no URL or no body", "");
    return;
  }
  const size_t limit = worker.maxHitBytes();
  const size_t size = url->second.size() + body->second.size();
  if (size > limit) {
    QXGuarded("Refusing a hit", [&] {
      const std::string detail = std::to_string(size) + " bytes, the largest allowed being " +
                                 std::to_string(limit) + " (maxHitBytes)";
      QXLogger::sharedInstance().logMessage("A hit was refused: it is too large: " + detail, 4);
      refuse(url->second, "it is too large: ", detail.c_str());
    });
    return;
  }
  const auto response = userInfo->find(kQXUserInfo_ResponseKey);
  const bool consent = response != userInfo->end() && response->second == "Consent";
  QXStatus status;
  try {
    const int64_t now = QXUtils::millisecondsFromSeconds(QXPlatform::current().secondsSince1970());
    status = journal.append(url->second, body->second, consent, now);
  } catch (const std::exception& error) {
    refuse(url->second, "it could not be stored: ", error.what());
    return;
  } catch (...) {
    refuse(url->second, "it could not be stored", "");
    return;
  }
  // The hit is safe first; then the worker starts, if it has not yet (in a
  // child process, with its first hit). One that cannot start now starts
  // with the next hit or flush().
  QXGuarded("Starting delivery", [this] {
    if (!worker.started()) startWorker();
  });
  if (status.ok()) {
    worker.hitAdded();
    return;
  }
  // The journal logs the first refusal and the recovery, not every hit.
  refuse(url->second, "the journal cannot store it: ", status.message().c_str());
}

void QXNetworkManager::Impl::refuse(const std::string& url, const char* reason,
                                    const char* detail) noexcept {
  QXHitOutcome outcome;
  outcome.result = QXHitOutcome::Result::kDropped;
  try {
    outcome.url = url;
    outcome.reason = std::string(reason) + detail;
  } catch (...) {
    // No memory to say more: the hit is counted all the same.
  }
  worker.hitRefused(outcome);
}

void QXNetworkManager::refuseHit(const std::string& url, const char* reason) noexcept {
  if (impl_) impl_->refuse(url, reason, "");
}

void QXNetworkManager::enableRunningInBackground() noexcept {
  QXGuarded("Enabling background delivery", [this] {
    if (impl_) impl_->worker.enableRunningInBackground();
  });
}

bool QXNetworkManager::isRunningInBackgroundEnabled() const noexcept {
  return impl_ && impl_->worker.runsInBackground();
}

bool QXNetworkManager::flush(std::chrono::milliseconds timeout) noexcept {
  // Delivery waits for the callback: a flush from inside it could only
  // wait out its timeout.
  if (impl_ && impl_->outcomeSlot.isCalling()) {
    if (!impl_->flushInCallbackTold.exchange(true)) {
      QXGuarded("Flushing", [] {
        QXLogger::sharedInstance().logMessage(
            "flush() called from the outcome callback returns false at once: delivery waits "
            "for the callback to return",
            4);
      });
    }
    return false;
  }
  return QXGuarded("Flushing", false, [&] {
    if (!impl_) return false;
    // The worker of a child process starts with its first hit or this.
    if (!impl_->worker.started()) impl_->startWorker();
    return impl_->worker.flush(timeout);
  });
}

QXDeliveryCounters QXNetworkManager::counters() const noexcept {
  return QXGuarded("Reading the counters", QXDeliveryCounters(),
                   [this] { return impl_ ? impl_->worker.counters() : QXDeliveryCounters(); });
}

QXDeliveryPause QXNetworkManager::pause() const noexcept {
  return impl_ ? impl_->worker.pause() : QXDeliveryPause::kNone;
}

void QXNetworkManager::setOutcomeCallback(
    std::function<void(const QXHitOutcome&)> callback) noexcept {
  QXGuarded("Setting the outcome callback", [&] {
    if (impl_) {
      impl_->outcomeSlot.set(
          callback ? std::make_shared<const Impl::OutcomeCallback>(std::move(callback)) : nullptr);
    }
  });
}

void QXNetworkManager::setOptions(const QXDeliveryOptions& options) noexcept {
  QXGuarded("Setting the delivery options", [&] {
    if (impl_) impl_->worker.setOptions(options);
  });
}

QXDeliveryOptions QXNetworkManager::options() const noexcept {
  return QXGuarded("Reading the delivery options", QXDeliveryOptions(),
                   [this] { return impl_ ? impl_->worker.options() : QXDeliveryOptions(); });
}

size_t QXNetworkManager::maxHitBytes() const noexcept {
  return impl_ ? impl_->worker.maxHitBytes() : QXDeliveryOptions().maxHitBytes;
}

std::string QXNetworkManager::outboxPath() const noexcept {
  return QXGuarded("Reading the outbox path", std::string(),
                   [this] { return impl_ ? impl_->outbox.path() : std::string(); });
}

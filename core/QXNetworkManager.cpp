#include "core/QXNetworkManager.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "core/QXCallbackSlot.h"
#include "core/QXCoreConstants.h"
#include "core/QXCoreVariables.h"
#include "core/QXGuard.h"
#include "core/QXLogger.h"
#include "core/QXReachability.h"
#include "core/QXUtils.h"
#include "core/network/QXCurlSender.h"
#include "core/network/QXDeliveryWorker.h"
#include "core/network/QXHitJournal.h"
#include "core/network/QXOutbox.h"
#include "platform/QXNotificationCenter.h"
#include "platform/QXPlatform.h"
#include "platform/QXPlatformUse.h"

namespace {

constexpr const char* kOutboxFileName = "outbox.sqlite";

}  // namespace

struct QXNetworkManager::Impl {
  using OutcomeCallback = std::function<void(const QXHitOutcome&)>;

  Impl(const std::string& directory, const std::string& path,
       QXDeliveryWorker::Environment environment)
      : journal(directory),
        outbox(path),
        worker(outbox, journal, std::move(environment), QXDeliveryOptions()) {
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
  // Starts the worker, after the transport's one-time set-up.
  void startWorker();

  // Before the worker, whose threads may tell outcomes until it is gone.
  QXCallbackSlot<std::shared_ptr<const OutcomeCallback>> outcomeSlot;
  QXHitJournal journal;
  QXOutbox outbox;
  QXDeliveryWorker worker;
  std::atomic<bool> exited{false};
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
  environment.makeSender = []() -> std::unique_ptr<QXHTTPSender> {
    return std::make_unique<QXCurlSender>();
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
  impl_ = std::make_unique<Impl>(directory, path, std::move(environment));

  const auto center = QXNotificationCenter::defaultCenter();
  Impl* impl = impl_.get();
  center->addObserver(
      this, kQXNotification_HTTPRequest,
      [impl](const QXNotification& notification) { impl->onRequest(notification); });
  center->addObserver(this, kQXNotification_OnBackground,
                      [impl](const QXNotification&) { impl->worker.setInBackground(true); });
  center->addObserver(this, kQXNotification_OnForeground,
                      [impl](const QXNotification&) { impl->worker.setInBackground(false); });

  // The worker, and with it the transport, starts with the first hit or
  // flush() of the process: a tracker is ready without paying for the
  // transport's set-up, and hits left by an earlier launch go out with the
  // first new one.
  return this;
}

void QXNetworkManager::stopAtExit() {
  Impl& impl = *sharedInstance().impl_;
  if (impl.exited.exchange(true)) return;
  // With every thread of the worker ended, the outbox is closed too: its
  // log folded in, nothing of SQLite's left behind. A thread still ending
  // may yet use it, so then it stays open.
  if (impl.worker.stop(impl.worker.options().exitTimeout)) impl.outbox.close();
}

void QXNetworkManager::Impl::startWorker() {
  static std::once_flag once;
  std::call_once(once, [] {
    // curl (and with it OpenSSL) is set up here, on the thread that first
    // needs the worker, and never on a thread of the worker: OpenSSL
    // registers its clean-up for the exit, and a registration made while the
    // process already exits would tear it down under a transfer. Exit
    // handlers run in the reverse order of their registration, so this one,
    // registered after OpenSSL's, stops the transfers first. Half a
    // millisecond, paid by the first hit rather than by start-up.
    QXCurlSender::globalInit();
    std::atexit(&QXNetworkManager::stopAtExit);
  });
  worker.start();
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
  // The hit is safe first; then, the first time, the worker starts. A
  // worker that cannot start now starts with the next hit or flush().
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
  impl_->refuse(url, reason, "");
}

void QXNetworkManager::enableRunningInBackground() noexcept {
  QXGuarded("Enabling background delivery", [this] { impl_->worker.enableRunningInBackground(); });
}

bool QXNetworkManager::isRunningInBackgroundEnabled() const noexcept {
  return impl_->worker.runsInBackground();
}

bool QXNetworkManager::flush(std::chrono::milliseconds timeout) noexcept {
  // Delivery waits for the callback: a flush from inside it could only
  // wait out its timeout.
  if (impl_->outcomeSlot.isCalling()) {
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
    // Hits an earlier launch left wait for the worker.
    if (!impl_->worker.started()) impl_->startWorker();
    return impl_->worker.flush(timeout);
  });
}

QXDeliveryCounters QXNetworkManager::counters() const noexcept {
  return QXGuarded("Reading the counters", QXDeliveryCounters(),
                   [this] { return impl_->worker.counters(); });
}

QXDeliveryPause QXNetworkManager::pause() const noexcept {
  return impl_->worker.pause();
}

void QXNetworkManager::setOutcomeCallback(
    std::function<void(const QXHitOutcome&)> callback) noexcept {
  QXGuarded("Setting the outcome callback", [&] {
    impl_->outcomeSlot.set(
        callback ? std::make_shared<const Impl::OutcomeCallback>(std::move(callback)) : nullptr);
  });
}

void QXNetworkManager::setOptions(const QXDeliveryOptions& options) noexcept {
  QXGuarded("Setting the delivery options", [&] { impl_->worker.setOptions(options); });
}

QXDeliveryOptions QXNetworkManager::options() const noexcept {
  return impl_->worker.options();
}

std::string QXNetworkManager::outboxPath() const noexcept {
  return QXGuarded("Reading the outbox path", std::string(),
                   [this] { return impl_->outbox.path(); });
}

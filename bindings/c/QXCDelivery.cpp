// The C API's delivery: options, counters, flush and the outcome callback,
// over the core's network manager.
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>

#include "bindings/c/QXCErrors.h"
#include "bindings/c/QXCPlatform.h"
#include "bindings/c/QXCStructs.h"
#include "core/QXNetworkManager.h"

namespace {

using std::chrono::milliseconds;

constexpr int32_t kMostConnections = 64;

QXNetworkManager& network() {
  QXCStartSDK();
  return QXNetworkManager::sharedInstance();
}

void tellOutcome(qx_outcome_callback callback, void* userData, const QXHitOutcome& outcome) {
  qx_hit_outcome told{};
  told.size = sizeof told;
  switch (outcome.result) {
    case QXHitOutcome::Result::kDelivered:
      told.result = QX_OUTCOME_DELIVERED;
      break;
    case QXHitOutcome::Result::kRetrying:
      told.result = QX_OUTCOME_RETRYING;
      break;
    case QXHitOutcome::Result::kDropped:
      told.result = QX_OUTCOME_DROPPED;
      break;
  }
  told.http_status = outcome.httpStatus;
  told.attempt = outcome.attempt;
  told.retry_delay_ms = outcome.retryDelay.count();
  told.hit_identifier = outcome.hitIdentifier.c_str();
  told.url = outcome.url.c_str();
  told.reason = outcome.reason.c_str();
  callback(&told, userData);
}

int64_t atLeast(const char* name, int64_t value, int64_t least) {
  if (value < least) {
    throw QXCError(QX_E_INVALID_ARGUMENT,
                   std::string("options->") + name + " is less than " + std::to_string(least));
  }
  return value;
}

// size_t on every target; held at its limit where it is 32 bits.
size_t count(uint64_t value) {
  return static_cast<size_t>(std::min<uint64_t>(value, std::numeric_limits<size_t>::max()));
}

qx_delivery_options optionsOf(const QXDeliveryOptions& options) {
  qx_delivery_options out{};
  out.size = sizeof out;
  out.connect_timeout_ms = options.connectTimeout.count();
  out.request_timeout_ms = options.requestTimeout.count();
  out.max_queued_hits = options.maxQueuedHits;
  out.max_queued_bytes = options.maxQueuedBytes;
  out.max_hit_age_s = options.maxHitAge.count();
  out.max_connections = options.maxConnections;
  out.parallel_backlog = options.parallelBacklog;
  out.initial_retry_delay_ms = options.initialRetryDelay.count();
  out.max_retry_delay_ms = options.maxRetryDelay.count();
  out.max_retry_after_ms = options.maxRetryAfter.count();
  out.reachability_interval_ms = options.reachabilityInterval.count();
  out.exit_timeout_ms = options.exitTimeout.count();
  out.max_hit_bytes = options.maxHitBytes;
  return out;
}

QXDeliveryOptions deliveryOptionsOf(const qx_delivery_options& in) {
  QXDeliveryOptions options;
  options.connectTimeout = milliseconds(atLeast("connect_timeout_ms", in.connect_timeout_ms, 1));
  options.requestTimeout = milliseconds(atLeast("request_timeout_ms", in.request_timeout_ms, 1));
  options.maxQueuedHits = count(in.max_queued_hits);
  options.maxQueuedBytes = in.max_queued_bytes;
  options.maxHitAge = std::chrono::seconds(atLeast("max_hit_age_s", in.max_hit_age_s, 0));
  if (in.max_connections < 1 || in.max_connections > kMostConnections)
    throw QXCError(QX_E_INVALID_ARGUMENT, "options->max_connections is not from 1 to 64");
  options.maxConnections = in.max_connections;
  options.parallelBacklog = count(in.parallel_backlog);
  options.initialRetryDelay =
      milliseconds(atLeast("initial_retry_delay_ms", in.initial_retry_delay_ms, 0));
  options.maxRetryDelay = milliseconds(atLeast("max_retry_delay_ms", in.max_retry_delay_ms, 0));
  options.maxRetryAfter = milliseconds(atLeast("max_retry_after_ms", in.max_retry_after_ms, 0));
  options.reachabilityInterval =
      milliseconds(atLeast("reachability_interval_ms", in.reachability_interval_ms, 1));
  options.exitTimeout = milliseconds(atLeast("exit_timeout_ms", in.exit_timeout_ms, 0));
  options.maxHitBytes = count(in.max_hit_bytes);
  return options;
}

}  // namespace

extern "C" {

QX_API int qx_delivery_get_options(qx_delivery_options* options) {
  return QXCRun(__func__, [&] {
    QXCWriteSized(options, optionsOf(network().options()), sizeof(qx_delivery_options), "options");
    return QX_OK;
  });
}

QX_API int qx_delivery_set_options(const qx_delivery_options* options) {
  return QXCRun(__func__, [&] {
    QXNetworkManager& manager = network();
    const qx_delivery_options in =
        QXCReadSized(options, optionsOf(manager.options()), sizeof(qx_delivery_options), "options");
    manager.setOptions(deliveryOptionsOf(in));
    return QX_OK;
  });
}

QX_API int qx_delivery_get_counters(qx_delivery_counters* counters) {
  return QXCRun(__func__, [&] {
    const QXDeliveryCounters now = network().counters();
    qx_delivery_counters out{};
    out.queued = now.queued;
    out.sent = now.sent;
    out.retried = now.retried;
    out.dropped = now.dropped;
    out.pending = now.pending;
    QXCWriteSized(counters, out, sizeof(qx_delivery_counters), "counters");
    return QX_OK;
  });
}

QX_API int qx_delivery_pause(void) {
  return QXCRun(__func__, [] {
    switch (network().pause()) {
      case QXDeliveryPause::kOffline:
        return QX_PAUSE_OFFLINE;
      case QXDeliveryPause::kBackground:
        return QX_PAUSE_BACKGROUND;
      case QXDeliveryPause::kNone:
        break;
    }
    return QX_PAUSE_NONE;
  });
}

QX_API int qx_flush(int64_t timeout_ms) {
  return QXCRun(__func__, [&] {
    atLeast("timeout_ms", timeout_ms, 0);
    return network().flush(milliseconds(timeout_ms)) ? 1 : 0;
  });
}

QX_API int qx_set_outcome_callback(qx_outcome_callback callback, void* user_data) {
  return QXCRun(__func__, [&] {
    // The manager's replacement waits for the callback it replaces, so that
    // the host may free its user data once this returns.
    if (callback == nullptr) {
      network().setOutcomeCallback(nullptr);
    } else {
      network().setOutcomeCallback([callback, user_data](const QXHitOutcome& outcome) {
        tellOutcome(callback, user_data, outcome);
      });
    }
    return QX_OK;
  });
}

}  // extern "C"

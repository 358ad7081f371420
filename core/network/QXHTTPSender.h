#ifndef QUORVEX_CORE_NETWORK_QXHTTPSENDER_H_
#define QUORVEX_CORE_NETWORK_QXHTTPSENDER_H_

// Private to the core: never included by a public header.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/network/QXHitRequest.h"

// What became of one request.
struct QXSendResult {
  enum class Kind {
    kResponse,        // the server answered; `status` holds its code
    kTransportError,  // no answer: DNS, connect, TLS, timeout, reset...
    kInvalidRequest,  // the request can never be performed (malformed URL, scheme not allowed)
    kAborted,         // abort() stopped it
  };
  Kind kind = Kind::kTransportError;
  int status = 0;
  // The server's Retry-After, in seconds, when it sent one.
  std::optional<double> retryAfterSeconds;
  std::string error;  // for transport errors and invalid requests

  static QXSendResult response(int status, std::optional<double> retryAfter = std::nullopt) {
    QXSendResult result;
    result.kind = Kind::kResponse;
    result.status = status;
    result.retryAfterSeconds = retryAfter;
    return result;
  }
  static QXSendResult failure(Kind kind, std::string error) {
    QXSendResult result;
    result.kind = kind;
    result.error = std::move(error);
    return result;
  }
};

// One connection to the network: it performs one request at a time and keeps
// its connection alive between requests.
//
// Threads: send() is called by one thread at a time (the connection's own);
// abort() may be called from any thread, also while send() runs. Once
// aborted, a sender answers kAborted to the request under way, promptly, and
// to every later one: abort() is meant for shutdown.
class QXHTTPSender {
 public:
  virtual ~QXHTTPSender() = default;
  virtual QXSendResult send(const QXHTTPRequest& request) = 0;
  virtual void abort() = 0;
};

// Makes the sender of one connection. Called on the thread that will use the
// sender.
using QXSenderFactory = std::function<std::unique_ptr<QXHTTPSender>()>;

#endif  // QUORVEX_CORE_NETWORK_QXHTTPSENDER_H_

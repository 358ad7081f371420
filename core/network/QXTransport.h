#ifndef QUORVEX_CORE_NETWORK_QXTRANSPORT_H_
#define QUORVEX_CORE_NETWORK_QXTRANSPORT_H_

// Private to the core: never included by a public header.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/network/QXHitRequest.h"

// What became of one request.
struct QXSendResult {
  enum class Kind {
    kResponse,        // the server answered whole; `status` holds its code
    kTransportError,  // no whole answer: DNS, connect, TLS, timeout, reset, a garbled answer...
    kInvalidRequest,  // the request can never be performed: its URL is not one to request
    kAborted,         // the transport was stopped under it
  };
  Kind kind = Kind::kTransportError;
  int status = 0;
  // The server's Retry-After, in seconds, when it sent one.
  std::optional<double> retryAfterSeconds;
  std::string error;  // for transport errors and invalid requests
  // A transport error before any connection was made (the name did not
  // resolve, the connection was refused or never came, TLS would not
  // agree): the collector as a whole is out of reach, not this request.
  bool beforeConnecting = false;
  // The peer's certificate or host name failed verification.
  bool tlsVerification = false;

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

// The network as the delivery worker drives it: requests started and their
// answers collected by one thread, the worker's, which blocks in
// waitForActivity() while requests are under way and while it has nothing
// to do. Several requests run at once (each on a connection of its own, or
// a stream of one), and connections are kept alive between requests.
//
// Threads: wakeup() from any thread; everything else on the worker's.
// waitForActivity() holds no lock while it blocks (a fork then leaves none
// of the transport's taken in the child); the other calls may.
class QXTransport {
 public:
  using Clock = std::chrono::steady_clock;

  struct Answer {
    uint64_t token = 0;
    QXSendResult result;
  };

  virtual ~QXTransport() = default;

  // Starts `request`; its answer comes back from collect() under `token`. An
  // answer known at once (a URL that cannot be requested) comes from the
  // next collect().
  virtual void start(uint64_t token, QXHTTPRequest request) = 0;
  // Moves the requests under way on without waiting, and hands back the
  // answers that came.
  virtual std::vector<Answer> collect() = 0;
  // Blocks until a request under way has something to do, until a wakeup(),
  // or at the latest until `deadline` (nullopt: no limit).
  virtual void waitForActivity(std::optional<Clock::time_point> deadline) = 0;
  // Makes the waitForActivity() under way, or the next one, return at once.
  // Any thread.
  virtual void wakeup() = 0;
  // Ends every request under way; each is answered kAborted.
  virtual std::vector<Answer> abortAll() = 0;
  // Requests started and not yet answered.
  virtual size_t inFlight() const = 0;
};

// Makes the worker's transport, on the worker's thread.
using QXTransportFactory = std::function<std::unique_ptr<QXTransport>()>;

#endif  // QUORVEX_CORE_NETWORK_QXTRANSPORT_H_

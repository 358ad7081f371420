#ifndef QUORVEX_TOOLS_COLLECTOR_QXCOLLECTOR_H_
#define QUORVEX_TOOLS_COLLECTOR_QXCOLLECTOR_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/QXStatus.h"

// A collection server for development and tests: HTTP/1.1 on 127.0.0.1 only,
// keep-alive, bodies sized by Content-Length, any number of connections,
// all served by one thread. It records what it receives and answers a status
// chosen per request. Not meant to face the internet: it trusts its clients
// beyond the limits below and speaks no TLS.
//
// Limits: a request head of at most 64 KiB and a body of at most 64 MiB
// (413 and the connection closed beyond); "Transfer-Encoding: chunked" is
// refused (501, closed), which no client of the SDK sends.
//
// Threads: every member may be called from any thread. The responder and the
// listener run on the serving thread, one request at a time, so they need no
// lock of their own; but while one runs no connection is served, so they
// must return promptly (to hold a request, answer Response::never()) and
// must not call stop(). The request they are given lives only until they
// return.
//
// Cost: the serving thread waits on every connection at once (epoll), so
// that requests arriving together cost it one wake-up; a small request then
// costs one recv() and one send() and, once its connection has warmed up, no
// allocation unless the requests are kept. Answers are sent blocking: a
// client that sends without reading its answers holds every connection up
// until it reads or the collector stops.
class QXCollector {
 public:
  struct Request {
    std::string method;
    std::string target;  // the request target, e.g. "/7/"
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    uint64_t connection = 0;  // 1 for the first connection accepted, and so on

    // The value of the first header of that name (case-insensitive), or empty.
    std::string header(std::string_view name) const;
    // The same value without a copy; valid while the request is unchanged.
    std::string_view headerValue(std::string_view name) const;
  };

  struct Response {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    // False: the request is never answered; the connection stays open until
    // the client gives up or the collector stops. For shutdown tests.
    bool answer = true;

    static Response withStatus(int status) {
      Response response;
      response.status = status;
      return response;
    }
    static Response never() {
      Response response;
      response.answer = false;
      return response;
    }
  };

  // Decides the answer to the request numbered `index` (0 for the first the
  // collector received, across all connections).
  using Responder = std::function<Response(const Request& request, size_t index)>;
  // Told of each request after it has been answered.
  using Listener = std::function<void(const Request& request, size_t index)>;
  // Given the socket of a connection whose request is a GET or a HEAD, with
  // that request, instead of the responder and the listener: the request is
  // not counted nor kept, and the socket (non-blocking) is the adopter's to
  // answer and close. Bytes the client sent after the request are lost.
  using Adopter = std::function<void(int socket, const Request& request)>;

  struct Options {
    uint16_t port = 0;  // 0: a free port chosen by the system
    int status = 200;   // the answer when no responder is set
    // False: requests are counted and handed to the listener but not kept,
    // so that a long run does not grow the collector's memory.
    bool keepRequests = true;
  };

  QXCollector();
  explicit QXCollector(Options options);
  ~QXCollector();
  QXCollector(const QXCollector&) = delete;
  QXCollector& operator=(const QXCollector&) = delete;

  // Binds 127.0.0.1 and starts serving. Fails when the port is taken.
  QXStatus start();
  // Closes every connection and joins the serving thread; idempotent.
  void stop();

  uint16_t port() const;
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string url(const std::string& path = "/") const;

  // Set before start(), or at any time: a request sees the one in place when
  // it arrives.
  void setResponder(Responder responder);
  void setListener(Listener listener);
  // Set before start(); none by default, and every method is then a hit.
  void setAdopter(Adopter adopter);

  std::vector<Request> requests() const;
  size_t requestCount() const;
  size_t connectionCount() const;
  // Waits until at least `n` requests have been received; false at the
  // timeout.
  bool waitForRequests(size_t n, std::chrono::milliseconds timeout) const;

 private:
  class ReadBuffer;
  struct Connection;
  enum class Progress { kServed, kWaiting, kOver };

  void serveLoop();
  void acceptAll();
  // Reads what the connection has and serves the requests it completes;
  // false when the connection is over.
  bool serveReadable(Connection& connection);
  // Serves the request at the start of the connection's buffer, if it is
  // all there.
  Progress serveBuffered(Connection& connection);
  // Numbers and records the request, and decides its answer; `listener` is
  // the one to tell once it is answered.
  Response respond(const Request& request, size_t* index,
                   std::shared_ptr<const Listener>* listener);
  void closeConnection(int fd);
  // Stops serving the connection, whose socket the adopter takes.
  void handOver(int fd);

  // Constant after construction.
  const Options options_;

  // Constant while serving (set by start()).
  int listenFd_ = -1;
  int wakeFd_ = -1;  // an eventfd made readable by stop()
  int epollFd_ = -1;
  uint16_t port_ = 0;
  std::thread servingThread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable received_;
  // All guarded by mutex_. The map is changed by the serving thread and
  // read by stop(); what a Connection holds belongs to the serving thread.
  bool stopping_ = false;
  bool started_ = false;
  std::unordered_map<int, std::unique_ptr<Connection>> connections_;  // by socket
  uint64_t connectionsAccepted_ = 0;
  size_t requestCount_ = 0;
  std::vector<Request> requests_;
  std::shared_ptr<const Responder> responder_;
  std::shared_ptr<const Listener> listener_;
  std::shared_ptr<const Adopter> adopter_;
};

// The phrase of a status line ("OK", "Too Many Requests", ...), "Status" for
// codes it does not know.
const char* QXReasonPhrase(int status);

#endif  // QUORVEX_TOOLS_COLLECTOR_QXCOLLECTOR_H_

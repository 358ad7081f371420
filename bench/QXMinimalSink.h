#ifndef QUORVEX_BENCH_QXMINIMALSINK_H_
#define QUORVEX_BENCH_QXMINIMALSINK_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

// The cheapest collection server the load program can measure against: a
// loopback HTTP/1.1 server in a forked child, one thread on epoll, any number
// of keep-alive connections. It reads each request's head and its
// Content-Length body, answers "200 OK" with an empty body, and keeps of
// each hit only its "seq" field and its size, so that whatever the SDK's
// figure is, it is not the figure of a collector that prints.
//
// It trusts its client: no limits, no chunked bodies, no "Expect", an answer
// always fits in the socket's buffer. Start it
// before the process has other threads (it forks). Not thread-safe.
class QXMinimalSink {
 public:
  QXMinimalSink() = default;
  ~QXMinimalSink();
  QXMinimalSink(const QXMinimalSink&) = delete;
  QXMinimalSink& operator=(const QXMinimalSink&) = delete;

  // Listens on a free port of 127.0.0.1 and forks the server. `recordPath`
  // receives, once stopped, one line "<body bytes> <seq>" per request.
  bool start(const std::string& recordPath);
  // Ends the server once it has written its record, and gives the child's
  // resource usage. False when the child did not end cleanly.
  bool stop(rusage& usage);

  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int stopFd_ = -1;  // the parent's end of a pipe; closing it ends the child
  uint16_t port_ = 0;
};

// The last "seq" field of a form body as it is written, still encoded (the
// load program's sequences, a phase and a number, have nothing to decode),
// empty when it has none.
std::string_view QXSequenceOf(std::string_view body);

#endif  // QUORVEX_BENCH_QXMINIMALSINK_H_

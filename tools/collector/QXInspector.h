#ifndef QUORVEX_TOOLS_COLLECTOR_QXINSPECTOR_H_
#define QUORVEX_TOOLS_COLLECTOR_QXINSPECTOR_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/QXStatus.h"
#include "tools/collector/QXCollector.h"
#include "tools/collector/QXHitHistory.h"

// The live hit inspector of a collector: a page in the browser, on the
// collector's own port, that shows the hits as they arrive. The collector
// records each hit here and hands over every GET and HEAD connection
// (QXCollector::setAdopter); the inspector answers them on a thread of its
// own, so that no browser, however slow, holds the collector's serving
// thread.
//
//   GET /                the page (inspector.html) and its files, built in
//   GET /events          the hits as server-sent events, oldest first: a
//                        "reset" event ({"capacity":N,"dropped":D}, D the
//                        hits no longer kept), then one "hit" event a hit
//                        (its id the hit's sequence number, its data as
//                        QXHitJSON.h writes it), then each new hit as it
//                        comes. A client reconnecting with Last-Event-ID
//                        resumes after that hit when it is still kept, and
//                        gets a reset and the whole history otherwise.
//
// Every answer carries a Content-Security-Policy that allows only the
// page's own script and style sheet, and X-Content-Type-Options: nosniff. A
// request whose Host is not a loopback name (127.0.0.1, localhost, [::1])
// is refused (403), so that a page of another site cannot read the hits
// through a host name that resolves to 127.0.0.1.
//
// Cost to the collector: record() copies the body into the bounded history
// (QXHitHistory), and only while a stream is open writes an eventfd, at
// most once until the inspector's thread has caught up. Decoding and
// encoding happen on the inspector's thread, for the streams that want them.
//
// Bounds: a stream holds at most about kFillBelow bytes of events waiting
// for its client; it is filled from the history as its client reads. A
// client that falls so far behind that the history drops hits it has not
// been sent is disconnected; the page then reconnects and starts over.
//
// Threads: record() and adopt() from any thread (the collector's serving
// thread in practice); start() and stop() from one thread, which owns the
// inspector. A socket adopted before start() or after stop() is closed.
class QXInspector {
 public:
  struct Options {
    size_t historyCapacity = QXHitHistory::kDefaultCapacity;
    size_t historyBytes = QXHitHistory::kDefaultMaxBytes;
  };

  static constexpr size_t kFillBelow = 64 * 1024;

  QXInspector();
  explicit QXInspector(Options options);
  ~QXInspector();
  QXInspector(const QXInspector&) = delete;
  QXInspector& operator=(const QXInspector&) = delete;

  QXStatus start();
  // Closes every connection and joins the thread; idempotent.
  void stop();

  // The collector's listener and adopter.
  void record(const QXCollector::Request& request);
  void adopt(int socket, const QXCollector::Request& request);

  const QXHitHistory& history() const { return history_; }
  // The event streams open now.
  size_t streamCount() const { return streams_.load(std::memory_order_acquire); }

 private:
  struct Client;

  void serveLoop();
  void takeAdopted();
  void begin(int socket, const QXCollector::Request& request);
  // Moves what it can of the client's events and answer to its socket;
  // false when the client is over.
  bool pump(Client& client);
  // Adds events from the history to the stream's output; false when the
  // stream has fallen behind the history.
  bool fill(Client& client);
  void closeClient(int socket);
  void wake();

  // Constant after construction, or while serving (set by start()).
  QXHitHistory history_;
  int wakeFd_ = -1;
  int epollFd_ = -1;
  std::thread thread_;

  std::atomic<size_t> streams_{0};
  std::atomic<bool> wakePending_{false};

  std::mutex mutex_;
  // Guarded by mutex_.
  bool started_ = false;
  bool stopping_ = false;
  std::vector<std::pair<int, QXCollector::Request>> adopted_;

  // The inspector's thread's own.
  std::unordered_map<int, std::unique_ptr<Client>> clients_;  // by socket
  std::vector<QXRecordedHit> batch_;
};

#endif  // QUORVEX_TOOLS_COLLECTOR_QXINSPECTOR_H_

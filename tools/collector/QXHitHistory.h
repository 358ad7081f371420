#ifndef QUORVEX_TOOLS_COLLECTOR_QXHITHISTORY_H_
#define QUORVEX_TOOLS_COLLECTOR_QXHITHISTORY_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "tools/collector/QXCollector.h"

// The last hits a collector received, for the inspector page: each hit's raw
// body and what the page shows of its request, in the order of arrival.
// Nothing is decoded here; the reader decodes what it copies out, so that
// the collector's serving thread pays one copy of the body a hit.
//
// Bounds: at most `capacity` hits and `maxBytes` of bodies (a single body
// larger than that is still kept, alone). Past either bound the oldest hits
// are dropped; dropped() counts them, and a reader that asks for hits older
// than the oldest kept learns it from the window it gets back.
//
// Sequence: every hit appended gets the next sequence number, from 0, also
// across drops, so that a reader can resume where it stopped.
//
// Threads: every member from any thread; one mutex guards the hits, held
// while a body is copied in or out.
struct QXRecordedHit {
  uint64_t sequence = 0;
  int64_t receivedMs = 0;  // wall-clock milliseconds since 1970
  std::string method;
  std::string target;
  std::string identifier;  // X-Quorvex-Hit-Id, empty when absent
  std::string body;
};

class QXHitHistory {
 public:
  static constexpr size_t kDefaultCapacity = 10000;
  static constexpr size_t kDefaultMaxBytes = 256 * 1024 * 1024;

  explicit QXHitHistory(size_t capacity = kDefaultCapacity, size_t maxBytes = kDefaultMaxBytes);
  QXHitHistory(const QXHitHistory&) = delete;
  QXHitHistory& operator=(const QXHitHistory&) = delete;

  // Keeps the request as the newest hit; its sequence number.
  uint64_t append(const QXCollector::Request& request, int64_t receivedMs);

  // [first, next): the sequence numbers of the hits kept.
  struct Window {
    uint64_t first = 0;
    uint64_t next = 0;
  };
  // Copies into `out` (replacing what it held, reusing its strings) the
  // hits from sequence `from` on, at most `limit` of them, and tells what
  // is kept. When `from` is older than window.first, the copy starts at
  // window.first: the hits in between were dropped.
  Window copySince(uint64_t from, size_t limit, std::vector<QXRecordedHit>& out) const;

  size_t capacity() const { return capacity_; }
  uint64_t dropped() const;

 private:
  // Constant after construction.
  const size_t capacity_;
  const size_t maxBytes_;

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::deque<QXRecordedHit> hits_;
  uint64_t next_ = 0;
  size_t bytes_ = 0;  // of the bodies in hits_
  // The strings of the last hit dropped, whose capacity the next hit reuses.
  QXRecordedHit spare_;
};

#endif  // QUORVEX_TOOLS_COLLECTOR_QXHITHISTORY_H_

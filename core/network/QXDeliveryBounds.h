#ifndef QUORVEX_CORE_NETWORK_QXDELIVERYBOUNDS_H_
#define QUORVEX_CORE_NETWORK_QXDELIVERYBOUNDS_H_

// Private to the core: never included by a public header.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/QXNetworkManager.h"
#include "core/network/QXHitJournal.h"
#include "core/network/QXJournalIngester.h"
#include "core/network/QXOutbox.h"

// The bounds of what waits to be delivered: a number of hits, a size on
// disk and an age (QXDeliveryOptions). They hold for the journal and the
// outbox together, as one queue whose newest hits are in the journal: past
// them the oldest hits go, wherever they are. The journal's own backlog is
// never a bound of its own, so a burst of hits costs the oldest hits, never
// the newest; hits that would be dropped as soon as they reached the outbox
// are left out of it while they are read from the journal (skipRecords,
// skipBytes), which keeps the worker ahead of any burst.
//
// Every drop is counted by the caller; this class keeps the tally for the
// one level-3 line a minute that says so (logDrops()).
//
// Threads: the worker's alone.
class QXDeliveryBounds {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();

  // How a number of hits and of bytes is shared out between the journal's
  // backlog and the outbox.
  struct Share {
    uint64_t skipRecords = 0;  // the journal's oldest records to leave out ...
    uint64_t skipBytes = 0;    // ... until both of these are reached
    size_t outboxHits = 0;     // what the outbox may then keep
    uint64_t outboxBytes = kNoLimit;
  };

  // Pure. `maxBytes` kNoLimit: no bound in bytes.
  static Share share(size_t maxHits, uint64_t maxBytes, const QXHitJournal::Backlog& journal);
  // What the journal's reader leaves out of the outbox now: the oldest of
  // a backlog that alone runs past the bounds.
  QXJournalIngester::Leave leaveOut(const QXDeliveryOptions& options, QXOutbox& outbox,
                                    const QXHitJournal::Backlog& journal);

  // How the journal is read for these bounds: segments and chunks a small
  // part of the bound.
  static QXJournalIngester::Options ingesterOptions(const QXDeliveryOptions& options);
  // How much of the journal one round moves into the outbox: more waits for
  // the next round, so that answers are not held up behind a long replay,
  // and the bounds apply before the files can run far over them.
  static size_t ingestBudget(const QXDeliveryOptions& options);

  // How far the outbox may run over its maximum count before it is trimmed
  // back: 1% (nothing for small bounds), so that a full outbox that keeps
  // receiving hits is trimmed once per hundred hits rather than per hit.
  static size_t trimThreshold(size_t maxHits) { return maxHits + maxHits / 100; }
  // The size of the write-ahead log at which it is folded in.
  static uint64_t logLimit(const QXDeliveryOptions& options);
  // The size at which a journal segment is sealed: a small part of the
  // bound, since one or two of them are on disk all the time.
  static uint64_t segmentBytes(const QXDeliveryOptions& options);
  // What the database file may take of the bound in bytes: nine tenths of
  // it, less the log and the journal's segments in use.
  static uint64_t databaseRoom(const QXDeliveryOptions& options);

  // The size of the hits (URLs and bodies) that keeps the files within the
  // bound in bytes once they are all in the outbox; kNoLimit without a
  // bound. Learns from the outbox how many bytes of pages a byte of hit
  // takes there. The journal's backlog is the same hits on their way, and
  // shares this size with the outbox (share()).
  uint64_t hitBytes(const QXDeliveryOptions& options, QXOutbox& outbox);

  // Whether the outbox holds more than its share, by the trim threshold.
  static bool over(QXOutbox& outbox, const Share& share);

  // Drops what the outbox holds past its share, and what is older than
  // `cutoffMs`, never one of `keep` (sorted: in flight, or done with);
  // at most `limit` at a time. `more` says whether another round is due.
  std::vector<QXOutbox::Dropped> trimOutbox(QXOutbox& outbox, const Share& share, int64_t cutoffMs,
                                            bool anyTooOld, const std::vector<int64_t>& keep,
                                            size_t limit, bool* more);

  // Tallies drops for logDrops().
  void count(size_t beyondBounds, size_t tooOld);
  // At most one line a minute while hits keep being dropped.
  void logDrops(const QXDeliveryOptions& options, Clock::time_point now);
  // When logDrops() wants to run again; nothing while nothing is untold.
  bool dropsUntold() const { return beyondBounds_ + tooOld_ > 0; }
  Clock::time_point nextLog() const { return lastLog_ + kLogInterval; }

 private:
  static constexpr std::chrono::seconds kLogInterval{60};

  double pagesPerByte_ = 1.25;  // bytes of pages a byte of hit takes in the outbox
  uint64_t lastMeasuredBytes_ = 0;
  size_t beyondBounds_ = 0;
  size_t tooOld_ = 0;
  bool logged_ = false;
  Clock::time_point lastLog_{};
};

#endif  // QUORVEX_CORE_NETWORK_QXDELIVERYBOUNDS_H_

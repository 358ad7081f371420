#ifndef QUORVEX_CORE_NETWORK_QXJOURNALINGESTER_H_
#define QUORVEX_CORE_NETWORK_QXJOURNALINGESTER_H_

// Private to the core: never included by a public header.

#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/network/QXHitJournal.h"
#include "core/network/QXOutbox.h"

// Moves hits from the journal into the outbox, on the worker's thread.
//
// Each step reads the journal's segments, oldest first, from where the
// outbox says each was ingested, and stores what it finds in one transaction
// per chunk, recording the new offset in the same transaction: a segment
// replayed after a crash is ingested exactly once, every hit keeping its
// place in the order. The active segment is sealed once it has grown past
// `rotateBytes`, and segments of processes that are gone are adopted now and
// then.
//
// Leaving out: records that the bounds would drop as soon as they reached
// the outbox (the oldest of a backlog past the bounds, and those past the
// maximum age) are read over and handed back as `left`, never stored; this
// costs a fraction of storing them, so the worker keeps ahead of a burst
// however large. They are left out even while the outbox cannot take hits,
// so that the journal stays within the bounds too.
//
// Durability: what was ingested is made durable (QXOutbox::makeDurable)
// within `durableWithin`, or sooner when ingested segments crowd the disk,
// and only then are fully ingested segments deleted; a segment whose
// records were all left out is deleted at once. Once every hit ingested has
// been delivered there is nothing left to make durable, and no sync is made:
// a hit tracked now and then costs no disk flush. A power cut therefore
// loses at most the hits of the last `durableWithin` plus those not yet
// ingested.
//
// Faults: a torn or damaged tail of a segment is cut off and logged at level
// 4 with its size. When the outbox cannot take hits (unavailable, disk
// full), they stay in the journal and the step is tried again a second
// later; the first failure and the recovery are logged once each. A full
// disk also takes back the space the journal prepared ahead.
class QXJournalIngester {
 public:
  using Clock = std::chrono::steady_clock;

  struct Options {
    uint64_t rotateBytes = 512 * 1024;
    size_t chunkBytes = 512 * 1024;  // read and stored per transaction
    // The outbox's log is folded in past this size between transactions.
    uint64_t logLimit = 4 * 1024 * 1024;
    std::chrono::milliseconds durableWithin{1000};
    std::chrono::seconds orphanScanInterval{60};
    std::chrono::milliseconds retryAfterFailure{1000};
  };

  // What a step leaves out of the outbox: the oldest records until both
  // `records` and `bytes` have been left out, and every record created
  // before `beforeMs`.
  struct Leave {
    uint64_t records = 0;
    uint64_t bytes = 0;
    int64_t beforeMs = std::numeric_limits<int64_t>::min();
  };

  QXJournalIngester(QXHitJournal& journal, QXOutbox& outbox) : journal_(journal), outbox_(outbox) {}

  void setOptions(const Options& options);

  // Ingests up to about `budgetBytes`. The first `room` hits stored are
  // also handed back in `stored`, oldest first, with their ids; the records
  // left out in `left`. Returns true when more is waiting beyond the budget.
  bool ingest(Clock::time_point now, size_t budgetBytes, size_t room,
              std::vector<QXOutbox::Hit>* stored, const Leave& leave,
              std::vector<QXHitJournal::Skipped>* left);
  // The same, leaving nothing out.
  bool ingest(Clock::time_point now, size_t budgetBytes, size_t room,
              std::vector<QXOutbox::Hit>* stored) {
    return ingest(now, budgetBytes, room, stored, Leave(), nullptr);
  }

  // Makes what was ingested durable once it has waited long enough, or
  // sooner when ingested segments crowd the disk; then deletes the segments
  // fully ingested. When no hit waits in the outbox (`hitsWait` false),
  // everything ingested has been delivered and left it: there is nothing
  // to make durable, and the segments go without a sync of the disk.
  void makeDurableIfDue(Clock::time_point now, bool hitsWait);

  // As of the last step, every record appended has been ingested.
  bool caughtUp() const { return caughtUp_; }
  // When the ingester wants to run again at the latest (durability, retry).
  std::optional<Clock::time_point> nextWake() const;
  // Records ingested or left out since the start.
  uint64_t ingested() const { return ingested_; }

 private:
  struct Step;
  bool ingestSegment(const QXHitJournal::Segment& segment, Step& step);
  bool offsetOf(const QXHitJournal::Segment& segment, uint64_t* offset);
  void segmentDone(const QXHitJournal::Segment& segment);
  // Deletes a segment done with and forgets its offset; one whose file
  // cannot be deleted now is kept for later.
  void retire(const QXHitJournal::Segment& segment);
  void retryUndeleted(Clock::time_point now);
  void noteFailure(const QXStatus& status, Clock::time_point now);
  bool failingAt(Clock::time_point now) const { return retryAt_ && now < *retryAt_; }

  QXHitJournal& journal_;
  QXOutbox& outbox_;
  Options options_;

  std::map<std::string, uint64_t> offsets_;  // segment -> ingested up to
  // Segments with records stored since the last durable point: deleting
  // one of them must wait for it.
  std::set<std::string> unsynced_;
  std::vector<QXHitJournal::Segment> ingestedAll_;  // sealed, fully ingested, not yet retired
  // Done with, but their files could not be deleted: tried again now and
  // then, their offsets kept meanwhile.
  std::vector<QXHitJournal::Segment> undeleted_;
  std::optional<Clock::time_point> deleteRetryAt_;
  std::optional<Clock::time_point> unsyncedSince_;
  std::optional<Clock::time_point> retryAt_;
  std::optional<Clock::time_point> lastOrphanScan_;
  bool failing_ = false;
  bool caughtUp_ = true;
  uint64_t ingested_ = 0;
};

#endif  // QUORVEX_CORE_NETWORK_QXJOURNALINGESTER_H_

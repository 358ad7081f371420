#include "core/network/QXJournalIngester.h"

#include <algorithm>

#include "core/QXLogger.h"

namespace {

void log(const std::string& message, int level) {
  QXLogger::sharedInstance().logMessage(message, level);
}

}  // namespace

bool QXJournalIngester::ingest(Clock::time_point now, size_t budgetBytes, size_t room,
                               std::vector<QXOutbox::Hit>* stored) {
  if (retryAt_ && now < *retryAt_) {
    caughtUp_ = false;
    return false;
  }
  retryAt_.reset();
  if (!lastOrphanScan_ || now - *lastOrphanScan_ >= options_.orphanScanInterval) {
    lastOrphanScan_ = now;
    journal_.adoptOrphans();
  }
  // The next segment is prepared ahead; an active one that was not (the
  // first of the process) gives way to it at once.
  journal_.prepare(options_.rotateBytes + options_.rotateBytes / 4);
  if (journal_.activeBytes() >= options_.rotateBytes || !journal_.activePrepared())
    journal_.rotate();

  size_t budget = budgetBytes;
  bool more = false;
  caughtUp_ = true;
  for (const QXHitJournal::Segment& segment : journal_.segments()) {
    if (std::any_of(ingestedAll_.begin(), ingestedAll_.end(),
                    [&](const auto& done) { return done.name == segment.name; }))
      continue;
    if (budget == 0) {
      more = true;
      caughtUp_ = false;
      break;
    }
    if (!ingestSegment(segment, &budget, &room, stored)) {
      caughtUp_ = false;
      return false;
    }
    // A segment the budget cut short is taken up again next time.
    if (budget == 0) more = true;
  }
  if (more) caughtUp_ = false;
  return more;
}

bool QXJournalIngester::ingestSegment(const QXHitJournal::Segment& segment, size_t* budget,
                                      size_t* room, std::vector<QXOutbox::Hit>* stored) {
  auto offset = offsets_.find(segment.name);
  if (offset == offsets_.end()) {
    if (!outbox_.open().ok()) return false;
    offset = offsets_.emplace(segment.name, outbox_.ingestedTo(segment.name)).first;
    journal_.markIngested(segment, offset->second);
  }
  for (;;) {
    const QXHitJournal::Chunk chunk =
        journal_.read(segment, offset->second, std::min(*budget, options_.chunkBytes));
    if (!chunk.records.empty() || chunk.end > offset->second) {
      std::vector<QXOutbox::Hit> hits;
      const QXStatus status =
          outbox_.ingest(segment.name, chunk.end, chunk.records, *room > 0 ? &hits : nullptr);
      if (!status.ok()) {
        noteFailure(status, Clock::now());
        return false;
      }
      if (failing_) {
        failing_ = false;
        log("Delivery outbox takes hits in again", 3);
      }
      const uint64_t read = chunk.end - offset->second;
      *budget -= std::min<uint64_t>(*budget, read);
      offset->second = chunk.end;
      journal_.markIngested(segment, chunk.end);
      ingested_ += chunk.records.size();
      if (!unsyncedSince_) unsyncedSince_ = Clock::now();
      outbox_.checkpointIfLarge(options_.logLimit);
      for (auto& hit : hits) {
        if (*room == 0) break;
        stored->push_back(std::move(hit));
        --*room;
      }
    }
    if (chunk.cutBytes > 0) {
      if (!segment.sealed) {
        // Damage inside this process's own segment: it ends here.
        journal_.rotate();
        return true;
      }
      log("Delivery journal " + journal_.pathOf(segment.name) + ": a torn or damaged tail of " +
              std::to_string(chunk.cutBytes) + " bytes was cut off; the hits in it are lost",
          4);
    }
    if (chunk.complete) {
      if (segment.sealed) ingestedAll_.push_back(segment);
      return true;
    }
    if (*budget == 0) return true;
  }
}

void QXJournalIngester::noteFailure(const QXStatus& status, Clock::time_point now) {
  retryAt_ = now + options_.retryAfterFailure;
  if (failing_) return;
  failing_ = true;
  // An outbox that cannot be opened has said so itself.
  if (outbox_.isOpen()) {
    log("Delivery outbox cannot take hits in (" + status.message() +
            "); they wait in the journal, and it is tried again every second",
        4);
  }
}

void QXJournalIngester::makeDurableIfDue(Clock::time_point now, bool idle) {
  if (unsyncedSince_) {
    // Segments waiting to be deleted take disk: two of them are enough
    // reason not to wait any longer.
    const bool crowded = ingestedAll_.size() >= 2;
    if (!idle && !crowded && now - *unsyncedSince_ < options_.durableWithin) return;
    const QXStatus status = outbox_.makeDurable();
    if (!status.ok()) {
      noteFailure(status, now);
      return;
    }
    unsyncedSince_.reset();
  }
  for (const QXHitJournal::Segment& segment : ingestedAll_) {
    journal_.retire(segment);
    outbox_.forgetSegment(segment.name);
    offsets_.erase(segment.name);
  }
  ingestedAll_.clear();
}

std::optional<QXJournalIngester::Clock::time_point> QXJournalIngester::nextWake() const {
  std::optional<Clock::time_point> wake = retryAt_;
  if (unsyncedSince_) {
    const auto due = *unsyncedSince_ + options_.durableWithin;
    if (!wake || due < *wake) wake = due;
  }
  return wake;
}

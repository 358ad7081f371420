#include "core/network/QXJournalIngester.h"

#include <algorithm>

#include "core/QXLogger.h"

namespace {

// Records read over cost this fraction of the budget of a step: a step
// stays short, and a backlog past the bounds is read over many times faster
// than it could be stored (a chunk read over only checks its checksums).
constexpr uint64_t kLeftOutWeight = 128;

void log(const std::string& message, int level) {
  QXLogger::sharedInstance().logMessage(message, level);
}

}  // namespace

// What one call of ingest() has to do and has left to do.
struct QXJournalIngester::Step {
  Clock::time_point now;
  size_t budget = 0;
  size_t room = 0;
  bool failing = false;  // the outbox cannot take hits now: only leave out
  QXJournalIngester::Leave leave;
  std::vector<QXOutbox::Hit>* stored = nullptr;
  std::vector<QXHitJournal::Skipped>* left = nullptr;
  uint64_t leftOutBytes = 0;  // of the records read over so far

  QXHitJournal::Verdict verdict(int64_t createdMs, uint64_t bytes) {
    using Verdict = QXHitJournal::Verdict;
    if (leave.records > 0 || leave.bytes > 0) {
      leave.records -= std::min<uint64_t>(leave.records, 1);
      leave.bytes -= std::min(leave.bytes, bytes);
      leftOutBytes += bytes;
      return Verdict::kLeaveOut;
    }
    if (createdMs < leave.beforeMs) {
      leftOutBytes += bytes;
      return Verdict::kTooOld;
    }
    return failing ? Verdict::kStop : Verdict::kKeep;
  }
};

void QXJournalIngester::setOptions(const Options& options) {
  options_ = options;
  journal_.setRotateBytes(options.rotateBytes);
}

bool QXJournalIngester::ingest(Clock::time_point now, size_t budgetBytes, size_t room,
                               std::vector<QXOutbox::Hit>* stored, const Leave& leave,
                               std::vector<QXHitJournal::Skipped>* left) {
  Step step;
  step.now = now;
  step.budget = budgetBytes;
  step.room = room;
  step.failing = failingAt(now);
  step.leave = leave;
  step.stored = stored;
  step.left = left;
  if (!step.failing) retryAt_.reset();
  if (!lastOrphanScan_ || now - *lastOrphanScan_ >= options_.orphanScanInterval) {
    lastOrphanScan_ = now;
    journal_.adoptOrphans();
  }
  // The next segment is prepared ahead; an active one that was not (the
  // first of the process) gives way to it at once.
  journal_.prepare(options_.rotateBytes + options_.rotateBytes / 4);
  if (journal_.activeBytes() >= options_.rotateBytes || !journal_.activePrepared())
    journal_.rotate();

  retryUndeleted(now);
  bool more = false;
  caughtUp_ = !step.failing;
  auto doneWith = [](const std::vector<QXHitJournal::Segment>& list, const std::string& name) {
    return std::any_of(list.begin(), list.end(),
                       [&](const auto& done) { return done.name == name; });
  };
  for (const QXHitJournal::Segment& segment : journal_.segments()) {
    if (doneWith(ingestedAll_, segment.name) || doneWith(undeleted_, segment.name)) continue;
    if (step.budget == 0) {
      more = true;
      break;
    }
    if (!ingestSegment(segment, step)) {
      caughtUp_ = false;
      return false;
    }
    // A segment the budget cut short is taken up again next time.
    if (step.budget == 0) more = true;
  }
  if (more) caughtUp_ = false;
  return more;
}

bool QXJournalIngester::offsetOf(const QXHitJournal::Segment& segment, uint64_t* offset) {
  auto known = offsets_.find(segment.name);
  if (known != offsets_.end()) {
    *offset = known->second;
    return true;
  }
  // A segment of this process is new to every outbox; another's may have
  // been taken in partly before its writer went.
  if (segment.own) {
    *offset = 0;
  } else {
    if (failingAt(Clock::now())) return false;
    const QXStatus status = outbox_.open();
    if (!status.ok()) {
      noteFailure(status, Clock::now());
      return false;
    }
    *offset = outbox_.ingestedTo(segment.name);
  }
  offsets_.emplace(segment.name, *offset);
  journal_.markIngested(segment, *offset, 0);
  return true;
}

bool QXJournalIngester::ingestSegment(const QXHitJournal::Segment& segment, Step& step) {
  uint64_t offset = 0;
  if (!offsetOf(segment, &offset)) return false;
  auto verdict = [&step](int64_t createdMs, uint64_t bytes) {
    return step.verdict(createdMs, bytes);
  };
  for (;;) {
    const uint64_t leftOutBefore = step.leftOutBytes;
    QXHitJournal::Chunk chunk =
        journal_.read(segment, offset, std::min(step.budget, options_.chunkBytes), verdict);
    // Records left out move the offset without a transaction of their own:
    // the next chunk stored records it, and a segment done with is deleted.
    // Only a crash in between brings them back, to a reader that applies
    // the bounds again.
    if (!chunk.records.empty()) {
      std::vector<QXOutbox::Hit> hits;
      const QXStatus status =
          outbox_.ingest(segment.name, chunk.end, chunk.records, step.room > 0 ? &hits : nullptr);
      if (!status.ok()) {
        noteFailure(status, step.now);
        return false;
      }
      if (failing_) {
        failing_ = false;
        log("Delivery outbox takes hits in again", 3);
      }
      unsynced_.insert(segment.name);
      if (!unsyncedSince_) unsyncedSince_ = step.now;
      outbox_.checkpointIfLarge(options_.logLimit);
      for (auto& hit : hits) {
        if (step.room == 0) break;
        step.stored->push_back(std::move(hit));
        --step.room;
      }
    }
    const uint64_t read = chunk.end - offset;
    const uint64_t leftOut = std::min(read, step.leftOutBytes - leftOutBefore);
    const uint64_t charged = (read - leftOut) + leftOut / kLeftOutWeight;
    step.budget -= static_cast<size_t>(std::min<uint64_t>(step.budget, charged));
    offset = chunk.end;
    offsets_[segment.name] = offset;
    journal_.markIngested(segment, offset, chunk.records.size() + chunk.skipped.size());
    ingested_ += chunk.records.size() + chunk.skipped.size();
    if (step.left != nullptr) {
      for (auto& skipped : chunk.skipped)
        step.left->push_back(std::move(skipped));
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
      if (segment.sealed) segmentDone(segment);
      return true;
    }
    // Stopped short of a record that cannot be stored now.
    if (step.failing) return false;
    if (step.budget == 0) return true;
  }
}

void QXJournalIngester::segmentDone(const QXHitJournal::Segment& segment) {
  if (unsynced_.count(segment.name) > 0) {
    ingestedAll_.push_back(segment);
    return;
  }
  // Nothing of it waits to be made durable: every record was left out, or
  // is durable already.
  retire(segment);
}

void QXJournalIngester::retire(const QXHitJournal::Segment& segment) {
  if (!journal_.retire(segment)) {
    if (undeleted_.empty()) {
      log("Delivery journal " + journal_.pathOf(segment.name) +
              " cannot be deleted now; it is kept, and its hits are not taken in again",
          3);
    }
    undeleted_.push_back(segment);
    return;
  }
  // Its offset goes with the file, and only then: a file the outbox has
  // forgotten would be taken in again by the next process.
  outbox_.forgetSegment(segment.name);
  offsets_.erase(segment.name);
}

void QXJournalIngester::retryUndeleted(Clock::time_point now) {
  if (undeleted_.empty() || (deleteRetryAt_ && now < *deleteRetryAt_)) return;
  deleteRetryAt_ = now + options_.retryAfterFailure;
  std::vector<QXHitJournal::Segment> waiting;
  waiting.swap(undeleted_);
  for (const QXHitJournal::Segment& segment : waiting)
    retire(segment);
}

void QXJournalIngester::noteFailure(const QXStatus& status, Clock::time_point now) {
  retryAt_ = now + options_.retryAfterFailure;
  // What the journal wrote ahead goes first when the disk is full.
  if (outbox_.diskFull()) journal_.releasePrepared();
  if (failing_) return;
  failing_ = true;
  // An outbox that cannot be opened has said so itself.
  if (outbox_.isOpen()) {
    log("Delivery outbox cannot take hits in (" + status.message() +
            "); they wait in the journal, and it is tried again every second",
        4);
  }
}

void QXJournalIngester::makeDurableIfDue(Clock::time_point now, bool hitsWait) {
  if (unsyncedSince_ && !hitsWait) {
    // What a crash could still undo is at worst a delivered hit coming
    // back, to be sent again: never a hit lost. Syncing here would cost the
    // host a wake-up or three for every hit tracked now and then.
    unsyncedSince_.reset();
    unsynced_.clear();
  }
  if (unsyncedSince_) {
    // Segments waiting to be deleted take disk: two of them are enough
    // reason not to wait any longer.
    const bool crowded = ingestedAll_.size() >= 2;
    if (!crowded && now - *unsyncedSince_ < options_.durableWithin) return;
    const QXStatus status = outbox_.makeDurable();
    if (!status.ok()) {
      noteFailure(status, now);
      return;
    }
    unsyncedSince_.reset();
    unsynced_.clear();
  }
  std::vector<QXHitJournal::Segment> durable;
  durable.swap(ingestedAll_);
  for (const QXHitJournal::Segment& segment : durable)
    retire(segment);
}

std::optional<QXJournalIngester::Clock::time_point> QXJournalIngester::nextWake() const {
  std::optional<Clock::time_point> wake = retryAt_;
  if (!undeleted_.empty() && deleteRetryAt_ && (!wake || *deleteRetryAt_ < *wake))
    wake = deleteRetryAt_;
  if (unsyncedSince_) {
    const auto due = *unsyncedSince_ + options_.durableWithin;
    if (!wake || due < *wake) wake = due;
  }
  return wake;
}

#include "core/network/QXDeliveryBounds.h"

#include <algorithm>
#include <string>

#include "core/QXLogger.h"

QXDeliveryBounds::Share QXDeliveryBounds::share(size_t maxHits, uint64_t maxBytes,
                                                const QXHitJournal::Backlog& journal) {
  Share share;
  const uint64_t hits = maxHits;
  share.skipRecords = journal.records > hits ? journal.records - hits : 0;
  share.outboxHits = static_cast<size_t>(hits - std::min(hits, journal.records));
  if (maxBytes != kNoLimit) {
    share.skipBytes = journal.bytes > maxBytes ? journal.bytes - maxBytes : 0;
    share.outboxBytes = maxBytes - std::min(maxBytes, journal.bytes);
  }
  return share;
}

QXJournalIngester::Leave QXDeliveryBounds::leaveOut(const QXDeliveryOptions& options,
                                                    QXOutbox& outbox,
                                                    const QXHitJournal::Backlog& journal) {
  const Share now = share(options.maxQueuedHits, hitBytes(options, outbox), journal);
  QXJournalIngester::Leave leave;
  leave.records = now.skipRecords;
  leave.bytes = now.skipBytes;
  return leave;
}

QXJournalIngester::Options QXDeliveryBounds::ingesterOptions(const QXDeliveryOptions& options) {
  QXJournalIngester::Options ingester;
  ingester.rotateBytes = segmentBytes(options);
  if (options.maxQueuedBytes != 0) {
    ingester.chunkBytes =
        static_cast<size_t>(std::min<uint64_t>(512 * 1024, options.maxQueuedBytes / 32));
  }
  ingester.logLimit = logLimit(options);
  return ingester;
}

size_t QXDeliveryBounds::ingestBudget(const QXDeliveryOptions& options) {
  constexpr uint64_t kMost = 2 * 1024 * 1024;
  if (options.maxQueuedBytes == 0) return kMost;
  return static_cast<size_t>(std::min(kMost, std::max<uint64_t>(options.maxQueuedBytes / 64, 1)));
}

uint64_t QXDeliveryBounds::logLimit(const QXDeliveryOptions& options) {
  constexpr uint64_t kMost = 4 * 1024 * 1024;
  return options.maxQueuedBytes == 0 ? kMost : std::min(kMost, options.maxQueuedBytes / 16);
}

uint64_t QXDeliveryBounds::segmentBytes(const QXDeliveryOptions& options) {
  constexpr uint64_t kMost = 512 * 1024;
  return options.maxQueuedBytes == 0 ? kMost : std::min(kMost, options.maxQueuedBytes / 64);
}

uint64_t QXDeliveryBounds::databaseRoom(const QXDeliveryOptions& options) {
  // The active segment, the one prepared to take over and one sealed.
  const uint64_t journal = 3 * segmentBytes(options);
  const uint64_t share = options.maxQueuedBytes / 10 * 9;
  const uint64_t others = logLimit(options) + journal;
  return share > others ? share - others : options.maxQueuedBytes / 10;
}

uint64_t QXDeliveryBounds::hitBytes(const QXDeliveryOptions& options, QXOutbox& outbox) {
  if (options.maxQueuedBytes == 0) return kNoLimit;
  const uint64_t bound = options.maxQueuedBytes;
  // A byte of hit takes more than a byte of pages in the database (page
  // slack, b-trees): as measured on the hits stored, a quarter more until
  // there are enough of them for the fixed part (the tables' first pages)
  // not to count.
  const uint64_t stored = outbox.bytes();
  const uint64_t moved =
      stored > lastMeasuredBytes_ ? stored - lastMeasuredBytes_ : lastMeasuredBytes_ - stored;
  if (stored >= std::max<uint64_t>(64 * 1024, bound / 8) && moved >= bound / 32) {
    lastMeasuredBytes_ = stored;
    const double measured = outbox.pagesPerHitByte();
    if (measured > 0) pagesPerByte_ = std::clamp(measured, 1.0, 4.0);
  }
  return static_cast<uint64_t>(static_cast<double>(databaseRoom(options)) / pagesPerByte_);
}

bool QXDeliveryBounds::over(QXOutbox& outbox, const Share& share) {
  return outbox.count() > trimThreshold(share.outboxHits) ||
         (share.outboxBytes != kNoLimit && outbox.bytes() > share.outboxBytes);
}

std::vector<QXOutbox::Dropped> QXDeliveryBounds::trimOutbox(QXOutbox& outbox, const Share& share,
                                                            int64_t cutoffMs, bool anyTooOld,
                                                            const std::vector<int64_t>& keep,
                                                            size_t limit, bool* more) {
  *more = false;
  const bool bytesBounded = share.outboxBytes != kNoLimit;
  if (!over(outbox, share) && !anyTooOld) return {};
  // The outbox reads a size of 0 as no bound: a share of nothing is a byte.
  const uint64_t maxBytes = bytesBounded ? std::max<uint64_t>(share.outboxBytes, 1) : 0;
  std::vector<QXOutbox::Dropped> dropped =
      outbox.enforceBounds(share.outboxHits, maxBytes, cutoffMs, keep, limit);
  // A bound lowered far below the count is worked off over several rounds.
  *more = dropped.size() == limit;
  size_t old = 0;
  for (const QXOutbox::Dropped& hit : dropped)
    old += hit.tooOld ? 1 : 0;
  count(dropped.size() - old, old);
  return dropped;
}

void QXDeliveryBounds::count(size_t beyondBounds, size_t tooOld) {
  beyondBounds_ += beyondBounds;
  tooOld_ += tooOld;
}

void QXDeliveryBounds::logDrops(const QXDeliveryOptions& options, Clock::time_point now) {
  if (!dropsUntold()) return;
  // An application that keeps tracking while the outbox is full drops a hit
  // for every hit it adds: one line a minute says so without flooding.
  if (logged_ && now - lastLog_ < kLogInterval) return;
  QXLogger::sharedInstance().logMessage(
      "Delivery outbox bounds: dropped the oldest " + std::to_string(beyondBounds_ + tooOld_) +
          " hit(s) (" + std::to_string(beyondBounds_) + " beyond " +
          std::to_string(options.maxQueuedHits) + " hits or " +
          std::to_string(options.maxQueuedBytes) + " bytes, " + std::to_string(tooOld_) +
          " older than " + std::to_string(options.maxHitAge.count()) + " s)",
      3);
  beyondBounds_ = 0;
  tooOld_ = 0;
  logged_ = true;
  lastLog_ = now;
}

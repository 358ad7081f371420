#include "core/network/QXFinishedHits.h"

#include <algorithm>

#include "core/QXLogger.h"

namespace {

void log(const std::string& message, int level) {
  QXLogger::sharedInstance().logMessage(message, level);
}

}  // namespace

void QXFinishedHits::add(const std::vector<int64_t>& ids, Clock::time_point now) {
  if (ids.empty()) return;
  if (ids_.empty()) since_ = now;
  ids_.insert(ids_.end(), ids.begin(), ids.end());
}

void QXFinishedHits::removeIfDue(Clock::time_point now, bool quiet) {
  if (ids_.empty()) return;
  if (failing_) {
    if (now >= retryAt_) remove(now);
    return;
  }
  if (quiet || ids_.size() >= kBatch || now - since_ >= kWithin) remove(now);
}

std::optional<QXFinishedHits::Clock::time_point> QXFinishedHits::nextWake() const {
  if (ids_.empty()) return std::nullopt;
  return failing_ ? retryAt_ : since_ + kWithin;
}

void QXFinishedHits::clear() {
  ids_.clear();
  failing_ = false;
}

void QXFinishedHits::remove(Clock::time_point now) {
  const QXStatus status = outbox_.remove(ids_);
  if (status.ok()) {
    if (failing_) log("Delivery outbox removes delivered hits again; none is sent twice", 3);
    failing_ = false;
    ids_.clear();
    return;
  }
  retryAt_ = now + kRetryInterval;
  if (!failing_) {
    log("Delivery outbox cannot remove delivered hits (" + status.message() +
            "); they are not sent again, and removing them is tried again every second",
        4);
  }
  failing_ = true;
}

#include "core/network/QXDeliveryWindow.h"

#include <algorithm>

#include "core/network/QXHitRequest.h"

namespace {

constexpr size_t kPage = 64;

}  // namespace

void QXDeliveryWindow::take(QXOutbox::Hit hit) {
  cursor_ = std::max(cursor_, hit.id);
  if (entries_.count(hit.id) > 0) return;
  if (hit.url != lastURL_ || lastOrigin_.empty()) {
    lastOrigin_ = QXOriginOf(hit.url);
    lastLoopback_ = QXIsLoopbackOrigin(lastOrigin_);
    lastURL_ = hit.url;
  }
  Entry entry;
  entry.origin = lastOrigin_;
  entry.loopback = lastLoopback_;
  entry.hit = std::move(hit);
  Collector& collector = collectors_[entry.origin];
  collector.loopback = entry.loopback;
  ++collector.held;
  const int64_t id = entry.hit.id;
  collector.ready.insert(id);
  entries_.emplace(id, std::move(entry));
}

void QXDeliveryWindow::promote(Collector& collector, Clock::time_point now) {
  auto& waiting = collector.backingOff;
  while (!waiting.empty() && waiting.begin()->first <= now) {
    collector.ready.insert(waiting.begin()->second);
    waiting.erase(waiting.begin());
  }
}

void QXDeliveryWindow::unlist(Collector& collector, const Entry& entry) {
  const int64_t id = entry.hit.id;
  if (collector.ready.erase(id) > 0) return;
  auto [from, to] = collector.backingOff.equal_range(entry.notBefore);
  for (auto it = from; it != to; ++it) {
    if (it->second == id) {
      collector.backingOff.erase(it);
      return;
    }
  }
}

size_t QXDeliveryWindow::ready(Clock::time_point now) const {
  size_t count = 0;
  for (const auto& [origin, collector] : collectors_) {
    if (collector.health.heldUntil() > now) continue;
    count += collector.ready.size();
    for (auto it = collector.backingOff.begin();
         it != collector.backingOff.end() && it->first <= now; ++it)
      ++count;
  }
  return count;
}

void QXDeliveryWindow::refill(QXOutbox& outbox, const std::vector<int64_t>& skip,
                              Clock::time_point now) {
  const size_t stored = outbox.count() - std::min(outbox.count(), skip.size());
  if (stored <= entries_.size()) return;
  while (entries_.size() < kMost && ready(now) < kLowWater) {
    std::vector<QXOutbox::Hit> hits =
        outbox.read(cursor_, std::min(kPage, kMost - entries_.size()));
    if (hits.empty()) {
      // Counted, yet nothing to read: the count is wrong (a database
      // replaced under it), not the hits.
      if (entries_.empty() && skip.empty()) outbox.recount();
      return;
    }
    for (QXOutbox::Hit& hit : hits) {
      const int64_t id = hit.id;
      cursor_ = std::max(cursor_, id);
      // Delivered hits whose removal failed stay in the outbox: never sent
      // again.
      if (std::find(skip.begin(), skip.end(), id) == skip.end()) take(std::move(hit));
    }
  }
}

void QXDeliveryWindow::clear() {
  entries_.clear();
  for (auto& [origin, collector] : collectors_) {
    collector.held = 0;
    collector.inFlight = 0;
    collector.ready.clear();
    collector.backingOff.clear();
  }
  cursor_ = 0;
}

QXDeliveryWindow::Entry* QXDeliveryWindow::find(int64_t id) {
  auto it = entries_.find(id);
  return it == entries_.end() ? nullptr : &it->second;
}

void QXDeliveryWindow::erase(const std::vector<int64_t>& ids) {
  for (int64_t id : ids) {
    auto it = entries_.find(id);
    if (it == entries_.end()) continue;
    const Entry& entry = it->second;
    auto collector = collectors_.find(entry.origin);
    if (collector != collectors_.end()) {
      Collector& c = collector->second;
      if (entry.inFlight) {
        c.inFlight -= std::min<size_t>(c.inFlight, 1);
      } else {
        unlist(c, entry);
      }
      c.held -= std::min<size_t>(c.held, 1);
      // A collector with nothing held, and in good health, is forgotten; a
      // held or probed one is kept for its next hit.
      if (c.held == 0 && !c.health.probing()) collectors_.erase(collector);
    }
    entries_.erase(it);
  }
}

const QXDeliveryWindow::Entry* QXDeliveryWindow::oldestWaiting() const {
  for (const auto& [id, entry] : entries_) {
    if (!entry.inFlight) return &entry;
  }
  return nullptr;
}

std::vector<int64_t> QXDeliveryWindow::inFlightIds() const {
  std::vector<int64_t> ids;
  for (const auto& [id, entry] : entries_) {
    if (entry.inFlight) ids.push_back(id);
  }
  return ids;
}

size_t QXDeliveryWindow::inFlightTo(const std::string& origin) const {
  const auto it = collectors_.find(origin);
  return it == collectors_.end() ? 0 : it->second.inFlight;
}

void QXDeliveryWindow::back(Entry& entry, Clock::time_point notBefore) {
  if (!entry.inFlight) return;
  entry.inFlight = false;
  entry.notBefore = notBefore;
  Collector& collector = collectors_[entry.origin];
  collector.inFlight -= std::min<size_t>(collector.inFlight, 1);
  if (notBefore == Clock::time_point()) {
    collector.ready.insert(entry.hit.id);
  } else {
    collector.backingOff.emplace(notBefore, entry.hit.id);
  }
}

std::vector<QXDeliveryWindow::Entry*> QXDeliveryWindow::due(Clock::time_point now,
                                                            const Limits& limits) {
  std::vector<Entry*> chosen;
  for (auto& [origin, collector] : collectors_) {
    if (!limits.reachable && !collector.loopback) continue;
    promote(collector, now);
    // As many at once as its waiting hits ask for.
    const size_t waiting = collector.held - collector.inFlight;
    const size_t most = waiting > limits.parallelBacklog
                            ? static_cast<size_t>(std::max(1, limits.maxConnections))
                            : 1;
    for (auto it = collector.ready.begin(); it != collector.ready.end();) {
      if (collector.inFlight >= most || !collector.health.open(now, collector.inFlight)) break;
      Entry& entry = entries_.at(*it);
      if (entry.hit.createdMs < limits.cutoffMs) {  // the bounds' to drop
        ++it;
        continue;
      }
      it = collector.ready.erase(it);
      entry.inFlight = true;
      ++collector.inFlight;
      chosen.push_back(&entry);
    }
  }
  // Started oldest first, whichever collector each goes to.
  std::sort(chosen.begin(), chosen.end(),
            [](const Entry* a, const Entry* b) { return a->hit.id < b->hit.id; });
  return chosen;
}

std::optional<QXDeliveryWindow::Clock::time_point> QXDeliveryWindow::nextDue(
    Clock::time_point now) const {
  std::optional<Clock::time_point> next;
  for (const auto& [origin, collector] : collectors_) {
    if (collector.ready.empty() && collector.backingOff.empty()) continue;
    // Its earliest hit goes once both its own backoff and the collector's
    // hold are over.
    Clock::time_point at = collector.health.heldUntil();
    if (collector.ready.empty()) at = std::max(at, collector.backingOff.begin()->first);
    if (at > now && (!next || at < *next)) next = at;
  }
  return next;
}

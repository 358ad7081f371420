#include "core/network/QXDeliveryWindow.h"

#include <algorithm>

#include "core/network/QXHitRequest.h"

namespace {

constexpr size_t kPage = 64;

}  // namespace

void QXDeliveryWindow::take(QXOutbox::Hit hit) {
  cursor_ = std::max(cursor_, hit.id);
  if (entries_.count(hit.id) > 0) return;
  Entry entry;
  entry.origin = QXOriginOf(hit.url);
  entry.loopback = QXIsLoopbackOrigin(entry.origin);
  entry.hit = std::move(hit);
  ++collectors_[entry.origin].held;
  const int64_t id = entry.hit.id;
  entries_.emplace(id, std::move(entry));
}

size_t QXDeliveryWindow::ready(Clock::time_point now) const {
  size_t count = 0;
  for (const auto& [id, entry] : entries_) {
    if (entry.inFlight || entry.notBefore > now) continue;
    if (collectors_.at(entry.origin).health.heldUntil() > now) continue;
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
    if (it->second.inFlight) setInFlight(it->second, false);
    auto collector = collectors_.find(it->second.origin);
    if (collector != collectors_.end()) {
      collector->second.held -= std::min<size_t>(collector->second.held, 1);
      // A collector with nothing held, and in good health, is forgotten; a
      // held or probed one is kept for its next hit.
      if (collector->second.held == 0 && !collector->second.health.probing())
        collectors_.erase(collector);
    }
    entries_.erase(it);
  }
}

size_t QXDeliveryWindow::inFlightTo(const std::string& origin) const {
  const auto it = collectors_.find(origin);
  return it == collectors_.end() ? 0 : it->second.inFlight;
}

void QXDeliveryWindow::setInFlight(Entry& entry, bool inFlight) {
  if (entry.inFlight == inFlight) return;
  entry.inFlight = inFlight;
  size_t& count = collectors_[entry.origin].inFlight;
  count = inFlight ? count + 1 : count - std::min<size_t>(count, 1);
}

std::vector<QXDeliveryWindow::Entry*> QXDeliveryWindow::due(Clock::time_point now,
                                                            const Limits& limits) {
  std::vector<Entry*> chosen;
  for (auto& [id, entry] : entries_) {
    if (entry.inFlight || entry.notBefore > now || entry.hit.createdMs < limits.cutoffMs) continue;
    if (!limits.reachable && !entry.loopback) continue;
    Collector& collector = collectors_[entry.origin];
    if (!collector.health.open(now, collector.inFlight)) continue;
    // As many at once as its waiting hits ask for.
    const size_t waiting = collector.held - collector.inFlight;
    const size_t most = waiting > limits.parallelBacklog
                            ? static_cast<size_t>(std::max(1, limits.maxConnections))
                            : 1;
    if (collector.inFlight >= most) continue;
    setInFlight(entry, true);
    chosen.push_back(&entry);
  }
  return chosen;
}

std::optional<QXDeliveryWindow::Clock::time_point> QXDeliveryWindow::nextDue(
    Clock::time_point now, int64_t cutoffMs) const {
  std::optional<Clock::time_point> next;
  for (const auto& [id, entry] : entries_) {
    if (entry.inFlight || entry.hit.createdMs < cutoffMs) continue;
    const Clock::time_point at =
        std::max(entry.notBefore, collectors_.at(entry.origin).health.heldUntil());
    if (at > now && (!next || at < *next)) next = at;
  }
  return next;
}

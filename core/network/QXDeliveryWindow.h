#ifndef QUORVEX_CORE_NETWORK_QXDELIVERYWINDOW_H_
#define QUORVEX_CORE_NETWORK_QXDELIVERYWINDOW_H_

// Private to the core: never included by a public header.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/network/QXCollectorHealth.h"
#include "core/network/QXOutbox.h"

// The hits of the outbox that delivery looks at, in memory, oldest first,
// and which of them go now.
//
// The window holds the oldest hits of this process's outbox, read in pages
// as it runs low, and the newest straight from the journal when it holds all
// there is. It reads on past hits that cannot go now (their collector held,
// probed or busy, their own backoff not over) until it has enough that can,
// so that a collector that hangs or fails keeps no other collector's hits
// waiting, up to kMost hits in all.
//
// What goes now (due()): for each collector, oldest first, the hits whose
// own backoff is over, not older than the maximum age, while the collector
// is open (QXCollectorHealth) and has fewer requests under way than it may:
// one while no more than `parallelBacklog` of its hits wait, so that they
// arrive in order, up to `maxConnections` while a backlog drains. A hit that
// failed waits on its own, and younger ones may go before it.
//
// Costs: each collector keeps its hits that can go in order apart from
// those waiting on their own backoff, so that choosing what goes, counting
// what can and finding when to look again cost about the hits chosen and
// the collectors, not the hits held: a round that starts four requests out
// of a thousand hits held looks at a handful.
//
// Threads: the worker's alone.
class QXDeliveryWindow {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kLowWater = 64;  // hits that can go, below which it reads more
  static constexpr size_t kMost = 1024;    // hits held at most

  struct Entry {
    QXOutbox::Hit hit;
    std::string origin;
    bool loopback = false;  // the collector runs on this machine
    int attempts = 0;       // in this process
    int failures = 0;       // in a row
    Clock::time_point notBefore{};
    bool inFlight = false;
  };

  struct Limits {
    int maxConnections = 4;
    size_t parallelBacklog = 16;
    int64_t cutoffMs = 0;   // older hits never go
    bool reachable = true;  // false: only collectors on this machine can be reached
  };

  // Takes a hit: one the ingester just stored, when the window holds every
  // hit of the outbox, so that it needs no reading back. Once each.
  void take(QXOutbox::Hit hit);
  // Reads more of the outbox while few of its hits can go. `skip`: ids
  // delivered whose removal failed, never sent again.
  void refill(QXOutbox& outbox, const std::vector<int64_t>& skip, Clock::time_point now);
  // The outbox took over hits that may lie before those read: read again
  // from the start (the hits held stay, once each).
  void readFromStart() { cursor_ = 0; }
  // The outbox was replaced: every hit held is void.
  void clear();

  Entry* find(int64_t id);
  // Forgets these hits (done with).
  void erase(const std::vector<int64_t>& ids);
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // The oldest hit not under way, if any.
  const Entry* oldestWaiting() const;
  // The hits under way, oldest first.
  std::vector<int64_t> inFlightIds() const;

  QXCollectorHealth& health(const std::string& origin) { return collectors_[origin].health; }
  size_t inFlightTo(const std::string& origin) const;

  // The hits to start now, each collector's oldest first, marked under way.
  std::vector<Entry*> due(Clock::time_point now, const Limits& limits);
  // When a hit that waits could go at the earliest, its collector's hold
  // and its own backoff both over; nullopt when none waits for either.
  std::optional<Clock::time_point> nextDue(Clock::time_point now) const;
  // A hit back from its request, to go again once `notBefore` is past
  // (at once for a default time point).
  void back(Entry& entry, Clock::time_point notBefore);

 private:
  struct Collector {
    QXCollectorHealth health;
    bool loopback = false;
    size_t held = 0;      // its hits in the window
    size_t inFlight = 0;  // of which under way
    // Its hits not under way: those that can go, oldest first, and those
    // whose own backoff is not over, soonest first.
    std::set<int64_t> ready;
    std::multimap<Clock::time_point, int64_t> backingOff;
  };

  // Moves the hits whose own backoff is over among those that can go.
  void promote(Collector& collector, Clock::time_point now);
  // Takes a hit that is not under way off its collector's lists.
  void unlist(Collector& collector, const Entry& entry);
  // Hits held that could go once their collector allows, their own backoff
  // and the collector's hold being over.
  size_t ready(Clock::time_point now) const;

  std::map<int64_t, Entry> entries_;  // by id: oldest first
  std::map<std::string, Collector> collectors_;
  int64_t cursor_ = 0;  // the last id read from the outbox
  // The last URL taken and its collector: hits nearly always go where the
  // one before went, and parsing a URL costs more than the rest of take().
  std::string lastURL_;
  std::string lastOrigin_;
  bool lastLoopback_ = false;
};

#endif  // QUORVEX_CORE_NETWORK_QXDELIVERYWINDOW_H_

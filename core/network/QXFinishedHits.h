#ifndef QUORVEX_CORE_NETWORK_QXFINISHEDHITS_H_
#define QUORVEX_CORE_NETWORK_QXFINISHEDHITS_H_

// Private to the core: never included by a public header.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/network/QXOutbox.h"

// The hits done with (delivered, or refused by their collector for good)
// that are still in the outbox, and their removal from it.
//
// They leave the outbox in batches: one transaction per kBatch hits while a
// backlog drains, rather than one per answer, which would cost the disk a
// write for every hit. A batch goes once it is full, once nothing is under
// way any more (a hit now and then leaves at once), or once its first hit
// has waited kWithin. Until removed, they are never sent again (the window
// skips them); a crash meanwhile would send them once more, as it would the
// hits under way.
//
// A removal that fails (a full disk) is logged once and tried again every
// second, and again told once it works.
//
// Threads: the worker's alone.
class QXFinishedHits {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kBatch = 64;
  static constexpr std::chrono::milliseconds kWithin{50};
  static constexpr std::chrono::milliseconds kRetryInterval{1000};

  explicit QXFinishedHits(QXOutbox& outbox) : outbox_(outbox) {}

  void add(const std::vector<int64_t>& ids, Clock::time_point now);
  // Removes them when due (see above); `quiet`: nothing is under way.
  void removeIfDue(Clock::time_point now, bool quiet);
  // When a removal is due at the latest, if any hit waits for one.
  std::optional<Clock::time_point> nextWake() const;
  // The outbox was replaced: they are gone with it.
  void clear();
  // At the worker's end: removes them now (once), so that the next launch
  // does not send them again.
  void removeBeforeEnd(Clock::time_point now) {
    if (!ids_.empty()) remove(now);
  }

  bool empty() const { return ids_.empty(); }
  const std::vector<int64_t>& ids() const { return ids_; }

 private:
  void remove(Clock::time_point now);

  QXOutbox& outbox_;
  std::vector<int64_t> ids_;
  Clock::time_point since_{};  // when the first of them finished
  Clock::time_point retryAt_{};
  bool failing_ = false;
};

#endif  // QUORVEX_CORE_NETWORK_QXFINISHEDHITS_H_

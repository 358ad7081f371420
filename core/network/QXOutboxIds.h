#ifndef QUORVEX_CORE_NETWORK_QXOUTBOXIDS_H_
#define QUORVEX_CORE_NETWORK_QXOUTBOXIDS_H_

// Private to the core: never included by a public header.

#include <cstdint>
#include <optional>
#include <string>

#include "core/network/QXOutboxDatabase.h"

class QXDataDirectory;

// The ids an outbox hands out, and the side file that says how far they
// went.
//
// Every hit gets an id above every id used before in the file, across
// launches and after the outbox emptied: ids come from blocks reserved with
// a synced commit (reserved_up_to) before the first of them is used, so not
// even a power cut that loses the last commits makes an id come back.
//
// The side file ("<name>.state") is written after every commit with the
// highest id stored and the highest removed. It is read before the
// database: when it names hits stored that the database does not know of,
// the database's log lost commits (deleted, damaged), which is told, and
// their ids stay used.
//
// Threads: the outbox's, under its mutex.
class QXOutboxIds {
 public:
  static constexpr int64_t kReserveBlock = 16384;

  QXOutboxIds() = default;
  ~QXOutboxIds() { closeState(); }
  QXOutboxIds(const QXOutboxIds&) = delete;
  QXOutboxIds& operator=(const QXOutboxIds&) = delete;

  // At open, from what the database holds; nothing of this open reserved.
  void start(const QXOutboxMeta& meta);
  // Takes in the side file read before the database (`known` false: none).
  // When the log lost commits, returns how many hits it lost at most.
  std::optional<int64_t> checkState(bool known, int64_t highest, int64_t removed);
  void openState(const QXDataDirectory& directory, const std::string& name);
  void closeState();

  // The next id to hand out.
  int64_t next() const { return next_; }
  // Whether `count` ids from next() are reserved already.
  bool reserved(int64_t count) const { return next_ + count - 1 <= reservedTo_; }
  // The block to reserve for `count` ids, above `highestInFile` (what the
  // file says any outbox used) and this open's ids; then reservedBlock()
  // once it is durably recorded.
  int64_t blockStart(int64_t highestInFile) const;
  static int64_t blockEnd(int64_t start, int64_t count);
  void reservedBlock(int64_t start, int64_t last);

  // `count` ids from next() now name stored hits.
  void stored(int64_t count);
  // Hits up to `id` at least were removed.
  void removed(int64_t id);
  int64_t removedUpTo() const { return removedUpTo_; }

 private:
  void writeState();

  int64_t next_ = 1;
  int64_t reservedTo_ = 0;  // the last id of the durably reserved block
  int64_t highestStored_ = 0;
  int64_t removedUpTo_ = 0;
  int stateFd_ = -1;
};

#endif  // QUORVEX_CORE_NETWORK_QXOUTBOXIDS_H_

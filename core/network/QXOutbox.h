#ifndef QUORVEX_CORE_NETWORK_QXOUTBOX_H_
#define QUORVEX_CORE_NETWORK_QXOUTBOX_H_

// Private to the core: never included by a public header.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/QXStatus.h"

struct sqlite3;
struct sqlite3_stmt;

// The hits handed over and not yet done with, in an SQLite database.
//
// Durability: the database is in WAL mode with synchronous=NORMAL. A hit is
// in the write-ahead log, in the kernel's hands, when add() returns, so it
// survives the process being killed at any moment after that. It is not
// forced to the disk at each add (an fsync per hit would cost a millisecond
// or more on the caller's thread); a power cut or a crash of the operating
// system may lose the hits of the last moments before it, as it may lose any
// file written without fsync. Checkpoints, which the worker runs, do sync.
//
// Order: every hit gets an id from a sequence that never goes back, also
// across launches and after the outbox has emptied, so ids give the order of
// arrival and "identity-id" (identifierFor) names a hit for ever.
//
// Faults: a file that is not a database, or is damaged, or holds tables of
// another shape, is moved aside to "<path>.corrupt-<unix time>" and a fresh
// one is made (logged at level 4); the hits it held are lost. When no file
// can be used at all, the outbox lives in memory (logged at level 4). With
// an empty path it lives in memory from the start.
//
// Threads: add() may be called from any thread at any time. The other
// operations are the worker's: call them from one thread at a time. Two
// connections are used, so that the worker's reads and checkpoints never
// wait for, nor hold up, an add(); writes are serialised by a mutex so that
// they never meet inside SQLite (whose busy handler would sleep). Other
// processes using the same file are tolerated (SQLite locks the file) but
// not coordinated with: each would send the hits it sees.
class QXOutbox {
 public:
  struct Hit {
    int64_t id = 0;
    std::string identifier;
    int64_t createdMs = 0;  // wall-clock milliseconds since 1970 when handed over
    std::string url;
    std::string body;
    bool consent = false;
  };

  struct Dropped {
    int64_t id = 0;
    std::string identifier;
    std::string url;
    bool tooOld = false;  // false: beyond the maximum count
  };

  // `path` empty: in memory. Nothing is opened before the first use.
  explicit QXOutbox(std::string path);
  ~QXOutbox();
  QXOutbox(const QXOutbox&) = delete;
  QXOutbox& operator=(const QXOutbox&) = delete;

  // Opens (or makes) the database now rather than at the first use.
  // Idempotent. Never fails: the faults above end in a fresh file or memory.
  void open();

  // Stores one hit. On success `id` (when given) receives its id. Fails only
  // when SQLite cannot write (disk full, I/O error); the hit is then not
  // stored.
  QXStatus add(std::string_view url, std::string_view body, bool consent, int64_t createdMs,
               int64_t* id = nullptr);

  // Up to `limit` hits with an id above `afterId`, oldest first.
  std::vector<Hit> read(int64_t afterId, size_t limit);
  // Removes these hits (delivered, or refused for good).
  QXStatus remove(const std::vector<int64_t>& ids);
  // Drops the oldest hits while more than `maxCount` are stored, then, in id
  // order, those created before `cutoffMs`, up to the first that is not;
  // `keep` (sorted) are never dropped. At most `limit` at a time, so that
  // add() is never held up for long: call again while it returns `limit`.
  // Returns what it dropped.
  std::vector<Dropped> enforceBounds(size_t maxCount, int64_t cutoffMs,
                                     const std::vector<int64_t>& keep, size_t limit = 512);
  // Gives space back to the file system once the outbox is empty and has
  // grown: frees the database's unused pages and truncates the write-ahead
  // log. Cheap when there is nothing to give back. True when it shrank.
  bool shrinkIfEmpty();
  // Folds the write-ahead log into the database once it has grown past a
  // few megabytes, without blocking add().
  void checkpointIfLarge();
  // Whether checkpointIfLarge() has work to do. Cheap; any thread.
  bool checkpointDue() const;

  size_t count() const { return count_.load(std::memory_order_acquire); }
  std::string identifierFor(int64_t id) const;
  // The file in use, or before the first use the file that will be tried;
  // empty in memory.
  std::string path() const;
  bool inMemory() const;
  // Changes whenever the database is replaced (a fault moved it aside): ids
  // read before then are void.
  uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

 private:
  // Requires both mutexes.
  void openLocked();
  bool openFileLocked(const std::string& path, std::string* error, int* code);
  void closeLocked();
  void replaceLocked(const std::string& reason);
  // Reports a failed statement: replaces the database when SQLite says it is
  // damaged. Requires both mutexes.
  QXStatus failedLocked(sqlite3* db, int code, const char* what);
  bool prepareLocked();
  // Records that ids up to `highestId` have been used, inside the removal's
  // transaction. Requires writeMutex_.
  int recordRemovedLocked(int64_t highestId);

  // Constant after construction.
  const std::string configuredPath_;

  // Lock order: readMutex_ before writeMutex_.
  mutable std::mutex readMutex_;   // the reading connection and its statements
  mutable std::mutex writeMutex_;  // the writing connection, its statements, every write

  // Guarded by both mutexes to change, by either to read.
  bool opened_ = false;
  std::string path_;  // the file in use; empty in memory
  std::string identity_;
  sqlite3* writer_ = nullptr;
  sqlite3* reader_ = nullptr;  // the same as writer_ in memory
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* delete_ = nullptr;
  sqlite3_stmt* recordRemoved_ = nullptr;
  sqlite3_stmt* selectAfter_ = nullptr;
  sqlite3_stmt* selectOldest_ = nullptr;

  std::atomic<bool> openedFlag_{false};
  std::atomic<size_t> count_{0};
  std::atomic<uint64_t> generation_{0};
  std::atomic<int> walFrames_{0};           // frames in the log, as last reported by SQLite
  std::atomic<int> checkpointedFrames_{0};  // of which the last checkpoint copied
};

#endif  // QUORVEX_CORE_NETWORK_QXOUTBOX_H_

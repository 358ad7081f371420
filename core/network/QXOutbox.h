#ifndef QUORVEX_CORE_NETWORK_QXOUTBOX_H_
#define QUORVEX_CORE_NETWORK_QXOUTBOX_H_

// Private to the core: never included by a public header.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/QXStatus.h"
#include "core/network/QXHitJournal.h"
#include "core/network/QXOutboxDatabase.h"
#include "core/network/QXOutboxIds.h"
#include "core/network/QXOutboxLease.h"
#include "core/network/QXOutboxStatements.h"

struct sqlite3;
class QXDataDirectory;

// The hits handed over and not yet done with, in an SQLite database that the
// delivery worker fills from the journal (ingest) and drains.
//
// Durability: WAL mode, synchronous=NORMAL: a commit is in the kernel's
// hands when it returns, and made durable by makeDurable() (a checkpoint,
// which syncs the log) or by the next checkpoint. The worker calls
// makeDurable() within a second of an ingest, and deletes journal segments
// only after it, so a power cut loses at most about a second of hits.
//
// Identity and order: every hit gets an id above every id used before in
// this file, also across launches and after the outbox has emptied, so ids
// give the order of arrival and "identity-id" (identifierFor) names a hit for
// ever. Ids are handed out from blocks reserved with a synced commit before
// the first of them is used, so not even a power cut that loses the last
// commits makes an id, and with it an identifier, come back.
//
// Creation: a new database is made under another name and linked into place,
// so no process ever finds one half made; two processes starting together
// both end up using the one that was linked first.
//
// Sharing: processes of one application may share the file. Each outbox
// object stores its hits under an owner number of its own, held by a lease
// (QXOutboxLease), and reads, sends, bounds and counts only those: no hit is
// sent by two processes. The hits of owners that are gone (and those of
// versions that knew no owners) are adopted by the next outbox that looks:
// at open, and whenever the worker calls adoptOrphans().
//
// Faults: only proven damage (SQLite's corruption codes, a file that is not a
// database, an empty file, an unknown version) moves the file aside to
// "<path>.corrupt-<unix time>", logged at level 4, and a fresh one is made;
// nothing is ever deleted. A busy database is waited for (5 s); every other
// failure (too many open files, disk full, I/O, a read-only or unwritable
// directory) leaves the outbox unavailable: open() reports it and the worker
// tries again later, while hits wait in the journal. A configured file is
// never swapped for one in memory, where the hits would get identifiers of
// another outbox and be sent again under those by a later launch; only an
// empty `path`, or a directory that is not the process's own (see
// QXDataDirectory: then the journal keeps to memory too), keeps the outbox
// in memory. Every file is opened relative to the directory, or by SQLite
// with SQLITE_OPEN_NOFOLLOW. A write-ahead log that was
// deleted or damaged loses the hits it held; a small side file
// ("<path>.state", the highest id stored and removed) lets the next open
// tell how many, logged at level 4.
//
// Fork: the outbox belongs to the process that opened it. It is locked
// across fork() (lockForFork()), so that no thread of the SDK is inside
// SQLite then and the child finds SQLite's own locks free; the child calls
// abandonInChild(): it lets go of its copies of the lease and the side file
// and never uses this database connection, which SQLite forbids across a
// fork.
//
// Threads: count(), bytes(), generation() and diskFull() from any thread;
// the rest is serialised by a mutex and meant for the worker.
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
    bool tooOld = false;  // false: beyond the maximum count or size
  };

  // `path` empty: in memory. `vfs`: the SQLite VFS to use (empty: SQLite's
  // default). Nothing is opened before the first use.
  explicit QXOutbox(std::string path, std::string vfs = std::string());
  ~QXOutbox();
  QXOutbox(const QXOutbox&) = delete;
  QXOutbox& operator=(const QXOutbox&) = delete;

  // Opens (or makes) the database. OK once it is usable, on file or in
  // memory; otherwise the outbox is unavailable for now, and the status says
  // why (logged once at level 4 until it opens).
  QXStatus open();
  bool isOpen() const;
  // Closes the database; the next use opens it again.
  void close();

  // Moves `records`, the next ones of journal segment `segment`, into the
  // database in one transaction, and records that the segment has been
  // ingested up to `end`, so that it is never ingested twice. On success
  // `stored` (when given) receives the hits as stored, ids and identifiers
  // included.
  QXStatus ingest(const std::string& segment, uint64_t end,
                  const std::vector<QXHitJournal::Record>& records,
                  std::vector<Hit>* stored = nullptr);
  // How far `segment` has been ingested (0: not at all).
  uint64_t ingestedTo(const std::string& segment);
  // Forgets a retired segment.
  void forgetSegment(const std::string& segment);
  // Makes every commit so far durable.
  QXStatus makeDurable();

  // Stores one hit at once (an ingest without a journal).
  QXStatus add(std::string_view url, std::string_view body, bool consent, int64_t createdMs,
               int64_t* id = nullptr);

  // Up to `limit` hits of this outbox's owner with an id above `afterId`,
  // oldest first.
  std::vector<Hit> read(int64_t afterId, size_t limit);
  // Takes over the hits of owners that are gone. Returns how many; they
  // may have ids below those read so far.
  size_t adoptOrphans();
  // Removes these hits (delivered, or refused for good).
  QXStatus remove(const std::vector<int64_t>& ids);
  // Drops the oldest hits while more than `maxCount` are stored or they take
  // more than `maxBytes` (URLs and bodies), then, in id order, those created
  // before `cutoffMs`, up to the first that is not; `keep` (sorted) are never
  // dropped. At most `limit` at a time: call again while it returns `limit`.
  std::vector<Dropped> enforceBounds(size_t maxCount, uint64_t maxBytes, int64_t cutoffMs,
                                     const std::vector<int64_t>& keep, size_t limit = 512);
  // Gives space back once the outbox is empty and has grown: rebuilds the
  // database and truncates its log. True when it shrank.
  bool shrinkIfEmpty();
  // Folds the log into the database once it holds more than `maxLogBytes`,
  // and makes it restart, so that it stays about that size.
  void checkpointIfLarge(uint64_t maxLogBytes = 4 * 1024 * 1024);
  // Bytes the outbox takes on disk: the database file and its log.
  uint64_t diskBytes();
  // How many bytes of the database's pages in use (b-trees and slack
  // included) a byte of URL and body takes, over every hit of the file:
  // those of other owners and those done with but not yet deleted too. 0
  // while it holds none, or in memory.
  double pagesPerHitByte();
  // Hands free pages back to the file system while the database file is
  // larger than `maxFileBytes` (databases made by this version).
  void releaseSpace(uint64_t maxFileBytes);

  // The hits of this outbox's owner not yet done with.
  size_t count() const { return count_.load(std::memory_order_acquire); }
  // Counts them again from the database.
  void recount();
  // The size of the stored URLs and bodies.
  uint64_t bytes() const { return bytes_.load(std::memory_order_acquire); }
  std::string identifierFor(int64_t id) const;
  // The file in use, or before it is opened the file that will be tried;
  // empty in memory.
  std::string path() const;
  bool inMemory() const;
  // Changes whenever the database is replaced (damage moved it aside): ids
  // read before then are void.
  uint64_t generation() const { return generation_.load(std::memory_order_acquire); }
  // The last failure was the disk's being full.
  bool diskFull() const { return diskFull_.load(std::memory_order_acquire); }

  void lockForFork() { mutex_.lock(); }
  void unlockInParent() { mutex_.unlock(); }
  void abandonInChild() noexcept;

 private:
  QXStatus openLocked();
  // Opens `path` (empty: memory) and takes it into use.
  QXOutboxDatabase::Result useLocked(const std::string& path, std::string* error);
  void closeLocked();
  void moveAsideLocked(const std::string& reason);
  // Reports a failed statement, after rolling back; replaces the database
  // when it is damaged.
  QXStatus failedLocked(int code, const char* what);
  QXStatus reserveLocked(int64_t needed);
  void recountLocked();
  size_t adoptLocked();
  QXStatus removeLocked(const std::vector<int64_t>& ids);
  void deleteDoneLocked();

  // Constant after construction.
  const std::string configuredPath_;
  const std::string name_;  // of the database in its directory
  const std::string vfs_;
  const int64_t owner_;  // the number this object stores its hits under

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::unique_ptr<const QXDataDirectory> directory_;  // opened at the first open
  bool directoryRefused_ = false;                     // not the process's own: memory instead
  bool opened_ = false;
  std::string path_;  // the file in use; empty in memory
  std::string identity_;
  bool unavailableLogged_ = false;
  sqlite3* db_ = nullptr;
  QXOutboxStatements statements_;  // over db_
  QXOutboxLease lease_;
  QXOutboxIds ids_;
  size_t doneCount_ = 0;    // hits marked done, not yet deleted
  uint64_t doneBytes_ = 0;  // and their size
  uint64_t logLimit_ = 0;   // the log's size limit in force

  std::atomic<size_t> count_{0};
  std::atomic<uint64_t> bytes_{0};
  std::atomic<uint64_t> generation_{0};
  std::atomic<bool> diskFull_{false};
};

#endif  // QUORVEX_CORE_NETWORK_QXOUTBOX_H_

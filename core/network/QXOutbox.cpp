#include "core/network/QXOutbox.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "core/QXLogger.h"
#include "platform/QXPlatform.h"

namespace {

constexpr int kSchemaVersion = 1;
// Four hits of a few KB share a page, so that adding one mostly rewrites a
// single page of the log: each frame costs two write() calls, and system
// calls are most of what an add() costs.
constexpr int kPageSize = 16384;
// The log is folded into the database past this many frames (4 MB) ...
constexpr int kCheckpointFrames = 256;
// ... and made to restart past this many (16 MB).
constexpr int kRestartFrames = 1024;
// When it restarts it is cut back to this size only: below it the file is
// overwritten in place, which is cheaper than growing it again.
constexpr const char* kJournalSizeLimit = "16777216";
// An empty outbox is compacted once this many pages are free (1 MB).
constexpr int kShrinkFreePages = 64;
constexpr size_t kBoundsPage = 256;

bool isDamage(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

int execute(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// Resets a statement when it goes out of scope, so that no read transaction
// stays open (an open one would pin the write-ahead log).
class StatementReset {
 public:
  explicit StatementReset(sqlite3_stmt* statement) : statement_(statement) {}
  ~StatementReset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }

 private:
  sqlite3_stmt* statement_;
};

std::string asideName(const std::string& path) {
  const std::string base = path + ".corrupt-" + std::to_string(std::time(nullptr));
  std::string candidate = base;
  for (int n = 1; ::access(candidate.c_str(), F_OK) == 0; ++n)
    candidate = base + "-" + std::to_string(n);
  return candidate;
}

// Moves the database and its log aside; answers where to, or empty when the
// file could not be moved (it is then removed, so that a fresh one can take
// its place).
std::string moveAside(const std::string& path) {
  const std::string aside = asideName(path);
  std::string moved = aside;
  if (std::rename(path.c_str(), aside.c_str()) != 0) {
    moved.clear();
    std::remove(path.c_str());
  }
  if (std::rename((path + "-wal").c_str(), (aside + "-wal").c_str()) != 0)
    std::remove((path + "-wal").c_str());
  std::remove((path + "-shm").c_str());
  return moved;
}

int onWalCommit(void* context, sqlite3*, const char*, int frames) {
  static_cast<std::atomic<int>*>(context)->store(frames, std::memory_order_relaxed);
  return SQLITE_OK;
}

}  // namespace

QXOutbox::QXOutbox(std::string path) : configuredPath_(std::move(path)) {}

QXOutbox::~QXOutbox() {
  std::lock_guard<std::mutex> readLock(readMutex_);
  std::lock_guard<std::mutex> writeLock(writeMutex_);
  closeLocked();
}

void QXOutbox::open() {
  if (openedFlag_.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> readLock(readMutex_);
  std::lock_guard<std::mutex> writeLock(writeMutex_);
  openLocked();
}

std::string QXOutbox::path() const {
  std::lock_guard<std::mutex> lock(readMutex_);
  return opened_ ? path_ : configuredPath_;
}

bool QXOutbox::inMemory() const {
  std::lock_guard<std::mutex> lock(readMutex_);
  return path_.empty();
}

std::string QXOutbox::identifierFor(int64_t id) const {
  std::lock_guard<std::mutex> lock(readMutex_);
  return identity_ + "-" + std::to_string(id);
}

void QXOutbox::openLocked() {
  if (opened_) return;
  std::string error;
  int code = SQLITE_OK;
  if (!configuredPath_.empty()) {
    if (openFileLocked(configuredPath_, &error, &code)) {
      opened_ = true;
      openedFlag_.store(true, std::memory_order_release);
      return;
    }
    closeLocked();
    const std::string aside = moveAside(configuredPath_);
    QXLogger::sharedInstance().logMessage(
        "Delivery outbox " + configuredPath_ + " cannot be used (" + error + "); " +
            (aside.empty() ? std::string("removed") : "moved aside to " + aside) +
            ", a fresh one is used",
        4);
    if (openFileLocked(configuredPath_, &error, &code)) {
      opened_ = true;
      openedFlag_.store(true, std::memory_order_release);
      return;
    }
    closeLocked();
    QXLogger::sharedInstance().logMessage("Delivery outbox cannot be made at " + configuredPath_ +
                                              " (" + error +
                                              "); hits are kept in memory until the process ends",
                                          4);
  } else {
    QXLogger::sharedInstance().logMessage(
        "Delivery outbox in memory: no data directory; hits not delivered when the process ends "
        "are lost",
        2);
  }
  if (!openFileLocked(std::string(), &error, &code)) {
    // SQLite could not even make a database in memory: add() reports every
    // hit as not stored.
    QXLogger::sharedInstance().logMessage("Delivery outbox unavailable: " + error, 4);
  }
  opened_ = true;
  openedFlag_.store(true, std::memory_order_release);
}

bool QXOutbox::openFileLocked(const std::string& path, std::string* error, int* code) {
  const bool memory = path.empty();
  auto fail = [&](sqlite3* db, const char* what) {
    *code = db ? sqlite3_extended_errcode(db) : SQLITE_CANTOPEN;
    *error = std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "cannot open");
    return false;
  };
  if (!memory) {
    // Hits hold what users did: the file is private to the user, like the
    // defaults. SQLite gives its log and index files the same mode.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
      *code = SQLITE_CANTOPEN;
      *error = "cannot open the file";
      return false;
    }
    ::close(fd);
  }
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(memory ? ":memory:" : path.c_str(), &writer_, flags, nullptr) != SQLITE_OK)
    return fail(writer_, "open");
  sqlite3_extended_result_codes(writer_, 1);
  // The page size must precede the first table and the log; on an existing
  // file it is a no-op.
  if (execute(writer_, ("PRAGMA page_size=" + std::to_string(kPageSize)).c_str()) != SQLITE_OK)
    return fail(writer_, "page_size");
  if (!memory) {
    if (execute(writer_, "PRAGMA journal_mode=WAL") != SQLITE_OK)
      return fail(writer_, "journal_mode");
    if (execute(writer_, "PRAGMA synchronous=NORMAL") != SQLITE_OK ||
        execute(writer_, (std::string("PRAGMA journal_size_limit=") + kJournalSizeLimit).c_str()) !=
            SQLITE_OK ||
        execute(writer_, "PRAGMA cache_size=-256") != SQLITE_OK)
      return fail(writer_, "settings");
    sqlite3_busy_timeout(writer_, 1000);
  }

  int version = -1;
  {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(writer_, "PRAGMA user_version", -1, &statement, nullptr) != SQLITE_OK)
      return fail(writer_, "user_version");
    if (sqlite3_step(statement) == SQLITE_ROW) version = sqlite3_column_int(statement, 0);
    const int rc = sqlite3_finalize(statement);
    if (rc != SQLITE_OK) return fail(writer_, "user_version");
  }
  if (version == 0) {
    const char* const schema =
        "BEGIN IMMEDIATE;"
        "CREATE TABLE hits(id INTEGER PRIMARY KEY, created_ms INTEGER NOT NULL,"
        " url TEXT NOT NULL, body BLOB NOT NULL, consent INTEGER NOT NULL DEFAULT 0);"
        "CREATE TABLE meta(key TEXT PRIMARY KEY, value NOT NULL);"
        "INSERT INTO meta(key, value) VALUES('removed_up_to', 0);";
    const std::string setVersion = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
    const std::string identity = QXPlatform::current().createUUID();
    sqlite3_stmt* insertIdentity = nullptr;
    bool made = execute(writer_, schema) == SQLITE_OK &&
                sqlite3_prepare_v2(writer_, "INSERT INTO meta(key, value) VALUES('identity', ?1)",
                                   -1, &insertIdentity, nullptr) == SQLITE_OK;
    if (made) {
      sqlite3_bind_text(insertIdentity, 1, identity.data(), static_cast<int>(identity.size()),
                        SQLITE_STATIC);
      made = sqlite3_step(insertIdentity) == SQLITE_DONE;
    }
    sqlite3_finalize(insertIdentity);
    made = made && execute(writer_, setVersion.c_str()) == SQLITE_OK &&
           execute(writer_, "COMMIT") == SQLITE_OK;
    if (!made) {
      const bool failed = fail(writer_, "schema");
      execute(writer_, "ROLLBACK");
      return failed;
    }
  } else if (version != kSchemaVersion) {
    *code = SQLITE_NOTADB;
    *error = "unknown outbox version " + std::to_string(version);
    return false;
  }
  {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(writer_, "SELECT value FROM meta WHERE key='identity'", -1, &statement,
                           nullptr) != SQLITE_OK)
      return fail(writer_, "identity");
    if (sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      identity_ = text ? reinterpret_cast<const char*>(text) : "";
    }
    sqlite3_finalize(statement);
    if (identity_.empty()) {
      *code = SQLITE_NOTADB;
      *error = "no identity";
      return false;
    }
  }

  if (memory) {
    reader_ = writer_;
  } else {
    if (sqlite3_open_v2(path.c_str(), &reader_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
      return fail(reader_, "open for reading");
    sqlite3_extended_result_codes(reader_, 1);
    execute(reader_, "PRAGMA cache_size=-512");
    execute(reader_, "PRAGMA wal_autocheckpoint=0");
    sqlite3_busy_timeout(reader_, 1000);
    // Replaces SQLite's automatic checkpoint, which would run on the
    // caller's thread inside add(); the worker checkpoints instead.
    sqlite3_wal_hook(writer_, &onWalCommit, &walFrames_);
  }
  if (!prepareLocked()) return fail(writer_, "statements");

  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(reader_, "SELECT count(*) FROM hits", -1, &statement, nullptr) !=
      SQLITE_OK)
    return fail(reader_, "count");
  const int rc = sqlite3_step(statement);
  const size_t stored =
      rc == SQLITE_ROW ? static_cast<size_t>(sqlite3_column_int64(statement, 0)) : 0;
  sqlite3_finalize(statement);
  if (rc != SQLITE_ROW) return fail(reader_, "count");
  count_.store(stored, std::memory_order_release);
  path_ = path;
  return true;
}

bool QXOutbox::prepareLocked() {
  // A hit's id is one above every id ever used: the largest stored and the
  // largest removed (which the removals record), so that ids never repeat,
  // even after the outbox has emptied, and give the order of arrival.
  return sqlite3_prepare_v3(
             writer_,
             "INSERT INTO hits(id, created_ms, url, body, consent) VALUES(max(ifnull((SELECT "
             "max(id) FROM hits), 0), (SELECT value FROM meta WHERE key = 'removed_up_to')) + 1, "
             "?1, ?2, ?3, ?4)",
             -1, SQLITE_PREPARE_PERSISTENT, &insert_, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v3(writer_, "DELETE FROM hits WHERE id = ?1", -1,
                            SQLITE_PREPARE_PERSISTENT, &delete_, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v3(writer_,
                            "UPDATE meta SET value = max(value, ?1) WHERE key = 'removed_up_to'",
                            -1, SQLITE_PREPARE_PERSISTENT, &recordRemoved_, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v3(reader_,
                            "SELECT id, created_ms, url, body, consent FROM hits WHERE id > ?1 "
                            "ORDER BY id LIMIT ?2",
                            -1, SQLITE_PREPARE_PERSISTENT, &selectAfter_, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v3(
             reader_, "SELECT id, created_ms, url FROM hits WHERE id > ?1 ORDER BY id LIMIT ?2", -1,
             SQLITE_PREPARE_PERSISTENT, &selectOldest_, nullptr) == SQLITE_OK;
}

void QXOutbox::closeLocked() {
  for (sqlite3_stmt** statement :
       {&insert_, &delete_, &recordRemoved_, &selectAfter_, &selectOldest_}) {
    sqlite3_finalize(*statement);
    *statement = nullptr;
  }
  if (reader_ != nullptr && reader_ != writer_) sqlite3_close_v2(reader_);
  if (writer_ != nullptr) sqlite3_close_v2(writer_);
  reader_ = nullptr;
  writer_ = nullptr;
  identity_.clear();
  walFrames_.store(0, std::memory_order_relaxed);
  checkpointedFrames_.store(0, std::memory_order_relaxed);
}

void QXOutbox::replaceLocked(const std::string& reason) {
  closeLocked();
  count_.store(0, std::memory_order_release);
  generation_.fetch_add(1, std::memory_order_acq_rel);
  if (configuredPath_.empty() || path_.empty()) {
    // A damaged database in memory: start another.
    std::string error;
    int code = SQLITE_OK;
    path_.clear();
    QXLogger::sharedInstance().logMessage(
        "Delivery outbox in memory damaged (" + reason + "); a fresh one is used", 4);
    openFileLocked(std::string(), &error, &code);
    return;
  }
  const std::string aside = moveAside(path_);
  QXLogger::sharedInstance().logMessage(
      "Delivery outbox " + path_ + " is damaged (" + reason + "); " +
          (aside.empty() ? std::string("removed") : "moved aside to " + aside) +
          ", a fresh one is used",
      4);
  opened_ = false;
  path_.clear();
  openLocked();
}

QXStatus QXOutbox::failedLocked(sqlite3* db, int code, const char* what) {
  const std::string message =
      std::string(what) + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code));
  if (isDamage(code)) {
    replaceLocked(message);
    return QXStatus::Corruption(message);
  }
  QXLogger::sharedInstance().logMessage("Delivery outbox: " + message, 4);
  return QXStatus::IOError(message);
}

QXStatus QXOutbox::add(std::string_view url, std::string_view body, bool consent, int64_t createdMs,
                       int64_t* id) {
  open();
  uint64_t generation = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int rc = SQLITE_MISUSE;
    {
      std::lock_guard<std::mutex> lock(writeMutex_);
      generation = generation_.load(std::memory_order_acquire);
      if (insert_ == nullptr) return QXStatus::IOError("the outbox is unavailable");
      StatementReset reset(insert_);
      sqlite3_bind_int64(insert_, 1, createdMs);
      sqlite3_bind_text(insert_, 2, url.data(), static_cast<int>(url.size()), SQLITE_STATIC);
      sqlite3_bind_blob(insert_, 3, body.data(), static_cast<int>(body.size()), SQLITE_STATIC);
      sqlite3_bind_int(insert_, 4, consent ? 1 : 0);
      rc = sqlite3_step(insert_);
      if (rc == SQLITE_DONE) {
        if (id != nullptr) *id = sqlite3_last_insert_rowid(writer_);
        count_.fetch_add(1, std::memory_order_acq_rel);
        return QXStatus::OK();
      }
      if (!isDamage(rc)) {
        const std::string message = std::string("cannot store a hit: ") + sqlite3_errmsg(writer_);
        return QXStatus::IOError(message);
      }
    }
    // Damaged: replace the database (which needs both locks, taken in
    // order), unless another thread already has, and store the hit in the
    // fresh one.
    std::lock_guard<std::mutex> readLock(readMutex_);
    std::lock_guard<std::mutex> writeLock(writeMutex_);
    if (generation_.load(std::memory_order_acquire) == generation)
      replaceLocked(sqlite3_errstr(rc));
  }
  return QXStatus::Corruption("the outbox stays damaged");
}

std::vector<QXOutbox::Hit> QXOutbox::read(int64_t afterId, size_t limit) {
  std::vector<Hit> hits;
  std::lock_guard<std::mutex> readLock(readMutex_);
  std::unique_lock<std::mutex> writeLock(writeMutex_, std::defer_lock);
  if (reader_ == writer_) writeLock.lock();
  if (selectAfter_ == nullptr) return hits;
  int rc = SQLITE_OK;
  {
    StatementReset reset(selectAfter_);
    sqlite3_bind_int64(selectAfter_, 1, afterId);
    sqlite3_bind_int64(selectAfter_, 2, static_cast<sqlite3_int64>(limit));
    while ((rc = sqlite3_step(selectAfter_)) == SQLITE_ROW) {
      Hit hit;
      hit.id = sqlite3_column_int64(selectAfter_, 0);
      hit.identifier = identity_ + "-" + std::to_string(hit.id);
      hit.createdMs = sqlite3_column_int64(selectAfter_, 1);
      const auto* url = static_cast<const char*>(sqlite3_column_blob(selectAfter_, 2));
      hit.url.assign(url ? url : "", static_cast<size_t>(sqlite3_column_bytes(selectAfter_, 2)));
      const auto* body = static_cast<const char*>(sqlite3_column_blob(selectAfter_, 3));
      hit.body.assign(body ? body : "", static_cast<size_t>(sqlite3_column_bytes(selectAfter_, 3)));
      hit.consent = sqlite3_column_int(selectAfter_, 4) != 0;
      hits.push_back(std::move(hit));
    }
  }
  if (rc != SQLITE_DONE) {
    if (!writeLock.owns_lock()) writeLock.lock();
    failedLocked(reader_, rc, "read");
    hits.clear();
  }
  return hits;
}

int QXOutbox::recordRemovedLocked(int64_t highestId) {
  StatementReset reset(recordRemoved_);
  sqlite3_bind_int64(recordRemoved_, 1, highestId);
  return sqlite3_step(recordRemoved_);
}

QXStatus QXOutbox::remove(const std::vector<int64_t>& ids) {
  if (ids.empty()) return QXStatus::OK();
  std::lock_guard<std::mutex> readLock(readMutex_);
  std::lock_guard<std::mutex> writeLock(writeMutex_);
  if (delete_ == nullptr) return QXStatus::IOError("the outbox is unavailable");
  int rc = execute(writer_, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return failedLocked(writer_, rc, "remove");
  size_t removed = 0;
  for (int64_t id : ids) {
    StatementReset reset(delete_);
    sqlite3_bind_int64(delete_, 1, id);
    rc = sqlite3_step(delete_);
    if (rc != SQLITE_DONE) {
      execute(writer_, "ROLLBACK");
      return failedLocked(writer_, rc, "remove");
    }
    removed += static_cast<size_t>(sqlite3_changes(writer_));
  }
  rc = recordRemovedLocked(*std::max_element(ids.begin(), ids.end()));
  if (rc != SQLITE_DONE) {
    execute(writer_, "ROLLBACK");
    return failedLocked(writer_, rc, "remove");
  }
  rc = execute(writer_, "COMMIT");
  if (rc != SQLITE_OK) {
    execute(writer_, "ROLLBACK");
    return failedLocked(writer_, rc, "remove");
  }
  count_.fetch_sub(std::min(removed, count_.load(std::memory_order_acquire)),
                   std::memory_order_acq_rel);
  return QXStatus::OK();
}

std::vector<QXOutbox::Dropped> QXOutbox::enforceBounds(size_t maxCount, int64_t cutoffMs,
                                                       const std::vector<int64_t>& keep,
                                                       size_t limit) {
  std::vector<Dropped> dropped;
  {
    // The oldest hits are picked on the reading connection, while add()
    // goes on; only their removal below holds add() up.
    std::lock_guard<std::mutex> readLock(readMutex_);
    std::unique_lock<std::mutex> writeLock(writeMutex_, std::defer_lock);
    if (reader_ == writer_) writeLock.lock();
    if (selectOldest_ == nullptr) return dropped;
    const size_t stored = count_.load(std::memory_order_acquire);
    size_t excess = stored > maxCount ? stored - maxCount : 0;
    const size_t page = std::clamp<size_t>(excess + keep.size() + 1, 16, kBoundsPage);
    bool done = limit == 0;

    sqlite3_stmt* const select = selectOldest_;
    int rc = SQLITE_OK;
    int64_t after = 0;
    while (!done) {
      sqlite3_bind_int64(select, 1, after);
      sqlite3_bind_int64(select, 2, static_cast<sqlite3_int64>(page));
      size_t rows = 0;
      while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
        ++rows;
        const int64_t id = sqlite3_column_int64(select, 0);
        after = id;
        if (std::binary_search(keep.begin(), keep.end(), id)) continue;
        const int64_t created = sqlite3_column_int64(select, 1);
        Dropped hit;
        if (excess > 0) {
          --excess;
        } else if (created < cutoffMs) {
          hit.tooOld = true;
        } else {
          done = true;
          break;
        }
        hit.id = id;
        hit.identifier = identity_ + "-" + std::to_string(id);
        const auto* url = static_cast<const char*>(sqlite3_column_blob(select, 2));
        hit.url.assign(url ? url : "", static_cast<size_t>(sqlite3_column_bytes(select, 2)));
        dropped.push_back(std::move(hit));
        if (dropped.size() == limit) {
          done = true;
          break;
        }
      }
      sqlite3_reset(select);
      if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        if (!writeLock.owns_lock()) writeLock.lock();
        failedLocked(reader_, rc, "bounds");
        return {};
      }
      if (rows < page) done = true;
    }
  }
  if (dropped.empty()) return dropped;

  std::lock_guard<std::mutex> readLock(readMutex_);
  std::lock_guard<std::mutex> writeLock(writeMutex_);
  if (delete_ == nullptr) return {};
  int rc = execute(writer_, "BEGIN IMMEDIATE");
  size_t removed = 0;
  int64_t highest = 0;
  for (const Dropped& hit : dropped) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE) break;
    StatementReset reset(delete_);
    sqlite3_bind_int64(delete_, 1, hit.id);
    rc = sqlite3_step(delete_);
    removed += static_cast<size_t>(sqlite3_changes(writer_));
    highest = std::max(highest, hit.id);
  }
  if (rc == SQLITE_DONE) rc = recordRemovedLocked(highest);
  if (rc == SQLITE_DONE) rc = execute(writer_, "COMMIT");
  if (rc != SQLITE_OK) {
    execute(writer_, "ROLLBACK");
    failedLocked(writer_, rc, "bounds");
    return {};
  }
  count_.fetch_sub(std::min(removed, count_.load(std::memory_order_acquire)),
                   std::memory_order_acq_rel);
  return dropped;
}

bool QXOutbox::shrinkIfEmpty() {
  if (count_.load(std::memory_order_acquire) != 0) return false;
  std::lock_guard<std::mutex> readLock(readMutex_);
  std::lock_guard<std::mutex> writeLock(writeMutex_);
  if (writer_ == nullptr || path_.empty() || count_.load(std::memory_order_acquire) != 0)
    return false;
  int freePages = 0;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(writer_, "PRAGMA freelist_count", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    freePages = sqlite3_column_int(statement, 0);
  sqlite3_finalize(statement);
  if (freePages < kShrinkFreePages &&
      walFrames_.load(std::memory_order_relaxed) < kCheckpointFrames)
    return false;
  // Empty, the database rebuilds in an instant; with both locks held no
  // connection of this process is reading, so the log can then be folded in
  // and cut to nothing.
  execute(writer_, "VACUUM");
  const int rc =
      sqlite3_wal_checkpoint_v2(writer_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  if (rc == SQLITE_OK) {
    walFrames_.store(0, std::memory_order_relaxed);
    checkpointedFrames_.store(0, std::memory_order_relaxed);
  }
  return true;
}

bool QXOutbox::checkpointDue() const {
  const int frames = walFrames_.load(std::memory_order_relaxed);
  const int copied = checkpointedFrames_.load(std::memory_order_relaxed);
  // Fewer frames than were copied means the log has restarted since.
  return frames - (frames >= copied ? copied : 0) >= kCheckpointFrames;
}

void QXOutbox::checkpointIfLarge() {
  if (!checkpointDue()) return;
  std::lock_guard<std::mutex> readLock(readMutex_);
  if (reader_ == nullptr || path_.empty()) return;
  int logFrames = 0;
  int copied = 0;
  // The bulk is copied while add() goes on ...
  if (sqlite3_wal_checkpoint_v2(reader_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logFrames, &copied) !=
      SQLITE_OK)
    return;
  checkpointedFrames_.store(copied, std::memory_order_relaxed);
  // ... then, once the log has grown well past the threshold, with add()
  // held off for the few frames written meanwhile, the log is made to
  // restart from its beginning. Under a steady stream of adds a passive
  // checkpoint alone never sees the end of the log, which would grow
  // without bound; holding add() off (for two fsyncs) only every few
  // checkpoints keeps that cost small. When the passive one copied it all,
  // the next add() restarts the log by itself.
  if (copied == logFrames || logFrames < kRestartFrames) return;
  std::lock_guard<std::mutex> writeLock(writeMutex_);
  if (sqlite3_wal_checkpoint_v2(reader_, nullptr, SQLITE_CHECKPOINT_RESTART, &logFrames, &copied) ==
      SQLITE_OK) {
    walFrames_.store(0, std::memory_order_relaxed);
    checkpointedFrames_.store(0, std::memory_order_relaxed);
  }
}

#include "core/network/QXOutbox.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "core/QXLogger.h"
#include "core/network/QXOutboxDatabase.h"
#include "core/network/QXOutboxSpace.h"
#include "platform/QXDataDirectory.h"
#include "platform/QXPlatform.h"

namespace {

// Ids are reserved this many at a time, each block with one synced commit.
constexpr int64_t kReserveBlock = 16384;
constexpr size_t kBoundsPage = 256;
// Hits done with are marked as such at once, one small row each, and
// deleted together once this many are marked: deleting hits one round at a
// time would rewrite their pages again and again.
constexpr size_t kDeleteAfter = 512;
// ... or once they take this much: their pages count on disk until then.
constexpr uint64_t kDeleteAfterBytes = 64 * 1024;

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

void log(const std::string& message, int level) {
  QXLogger::sharedInstance().logMessage(message, level);
}

std::string text(sqlite3_stmt* statement, int column) {
  const auto* data = static_cast<const char*>(sqlite3_column_blob(statement, column));
  return std::string(data ? data : "",
                     static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}

// A number no other outbox object takes, in this process or another: the
// random source, the process and the clock mixed, positive and not 0.
int64_t newOwner() {
  QXPlatform& platform = QXPlatform::current();
  const uint64_t bits =
      ((static_cast<uint64_t>(platform.random32()) << 32) | platform.random32()) ^
      (static_cast<uint64_t>(::getpid()) << 20) ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const auto owner = static_cast<int64_t>(bits >> 1);
  return owner == 0 ? 1 : owner;
}

std::string nameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

QXOutbox::QXOutbox(std::string path, std::string vfs)
    : configuredPath_(std::move(path)),
      name_(nameOf(configuredPath_)),
      vfs_(std::move(vfs)),
      owner_(newOwner()) {}

QXOutbox::~QXOutbox() {
  std::lock_guard<std::mutex> lock(mutex_);
  closeLocked();
  lease_.release();
}

bool QXOutbox::isOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return opened_;
}

std::string QXOutbox::path() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return opened_ ? path_ : configuredPath_;
}

bool QXOutbox::inMemory() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return opened_ && path_.empty();
}

std::string QXOutbox::identifierFor(int64_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return identity_ + "-" + std::to_string(id);
}

// --- Opening -------------------------------------------------------------

QXStatus QXOutbox::open() {
  std::lock_guard<std::mutex> lock(mutex_);
  return openLocked();
}

void QXOutbox::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closeLocked();
  // Whatever this outbox still holds is for the next process to adopt.
  lease_.release();
}

QXStatus QXOutbox::openLocked() {
  if (opened_) return QXStatus::OK();
  std::string error;
  if (configuredPath_.empty()) {
    if (useLocked(std::string(), &error) != QXOutboxDatabase::Result::kOpen) {
      log("Delivery outbox unavailable: " + error, 4);
      return QXStatus::IOError(error);
    }
    log("Delivery outbox in memory: no data directory; hits not delivered when the process ends "
        "are lost",
        2);
    return QXStatus::OK();
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    const QXOutboxDatabase::Result result = useLocked(configuredPath_, &error);
    if (result == QXOutboxDatabase::Result::kOpen) {
      if (unavailableLogged_) log("Delivery outbox " + configuredPath_ + " opens again", 3);
      unavailableLogged_ = false;
      return QXStatus::OK();
    }
    if (result != QXOutboxDatabase::Result::kDamaged) break;
    moveAsideLocked(error);
  }
  if (directoryRefused_) {
    // Not the process's own (QXDataDirectory): nothing of it is used, the
    // journal's segments neither, so hits kept in memory are no other
    // file's and go out under no other identifier.
    log("Delivery outbox: the directory of " + configuredPath_ + " is not used (" + error +
            "); hits are kept in memory until the process ends",
        4);
    if (useLocked(std::string(), &error) != QXOutboxDatabase::Result::kOpen) {
      log("Delivery outbox unavailable: " + error, 4);
      return QXStatus::IOError(error);
    }
    return QXStatus::OK();
  }
  // Unavailable for now, or a directory that cannot take a database now
  // (read-only, no permission): either may pass, and the hits are safe in
  // the journal meanwhile.
  if (!unavailableLogged_) {
    log("Delivery outbox " + configuredPath_ + " cannot be opened now (" + error +
            "); hits wait in the journal and it is tried again",
        4);
  }
  unavailableLogged_ = true;
  return QXStatus::IOError(error);
}

QXOutboxDatabase::Result QXOutbox::useLocked(const std::string& path, std::string* error) {
  if (!path.empty() && directory_ == nullptr) {
    const auto opened = QXOutboxDatabase::openDirectory(path, &directory_, error);
    if (opened != QXOutboxDatabase::Result::kOpen) {
      directoryRefused_ = errno == EPERM;
      return opened;
    }
  }
  // The lease comes first: no hit is stored under this owner before it.
  if (!path.empty() && !lease_.held() && !lease_.take(*directory_, owner_, error))
    return QXOutboxDatabase::Result::kUnavailable;
  // The side file is read before the database: another process sharing the
  // file writes it after each commit, so what it says then is in the
  // database by the time the database is read, and only a lost commit
  // makes it say more.
  int64_t stateHighest = 0;
  int64_t stateRemoved = 0;
  const bool stateKnown = !path.empty() && QXOutboxDatabase::readState(
                                               *directory_, name_, &stateHighest, &stateRemoved);
  QXOutboxMeta meta;
  const auto result = QXOutboxDatabase::open(path.empty() ? nullptr : directory_.get(), name_, vfs_,
                                             &db_, &meta, error);
  if (result != QXOutboxDatabase::Result::kOpen) return result;
  if (!prepareLocked()) {
    *error = std::string("statements: ") + sqlite3_errmsg(db_);
    closeLocked();
    return QXOutboxDatabase::Result::kUnavailable;
  }
  identity_ = meta.identity;
  removedUpTo_ = meta.removedUpTo;
  highestStored_ = std::max(meta.maxId, meta.removedUpTo);
  nextId_ = std::max(highestStored_, meta.reservedUpTo) + 1;
  reservedTo_ = nextId_ - 1;  // nothing of this open's reserved yet
  doneCount_ = meta.done;
  path_ = path;
  opened_ = true;
  recountLocked();
  if (!path.empty()) {
    checkStateLocked(stateKnown, stateHighest, stateRemoved);
    stateFd_ = QXOutboxDatabase::openState(*directory_, name_);
    writeStateLocked();
    adoptLocked();
  }
  return result;
}

void QXOutbox::checkStateLocked(bool known, int64_t highest, int64_t removed) {
  if (!known || highest <= highestStored_) return;
  // The side file saw hits stored that the database no longer knows of: its
  // log lost commits. Their ids stay used.
  const int64_t lost = highest - std::max(highestStored_, std::min(removed, highest));
  log("Delivery outbox " + path_ + ": its write-ahead log was missing or damaged; up to " +
          std::to_string(std::max<int64_t>(lost, 0)) + " hit(s) it held are lost",
      4);
  nextId_ = std::max(nextId_, highest + 1);
  reservedTo_ = nextId_ - 1;
}

void QXOutbox::writeStateLocked() {
  QXOutboxDatabase::writeState(stateFd_, highestStored_, removedUpTo_);
}

bool QXOutbox::prepareLocked() {
  auto prepare = [&](const char* sql, sqlite3_stmt** statement) {
    return sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr) ==
           SQLITE_OK;
  };
  return prepare(
             "INSERT INTO hits(id, created_ms, url, body, consent, owner)"
             " VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
             &insert_) &&
         prepare(
             "SELECT length(url) + length(body) FROM hits WHERE id = ?1 AND NOT EXISTS"
             " (SELECT 1 FROM done WHERE done.id = ?1)",
             &sizeOf_) &&
         prepare("INSERT INTO done(id) VALUES(?1)", &markDone_) &&
         prepare(
             "SELECT id, created_ms, url, body, consent FROM hits WHERE owner = ?3 AND id > ?1"
             " AND NOT EXISTS (SELECT 1 FROM done WHERE done.id = hits.id) ORDER BY id LIMIT ?2",
             &selectAfter_) &&
         prepare(
             "SELECT id, created_ms, url, length(url) + length(body) FROM hits WHERE owner = ?3"
             " AND id > ?1 AND NOT EXISTS (SELECT 1 FROM done WHERE done.id = hits.id)"
             " ORDER BY id LIMIT ?2",
             &selectOldest_) &&
         prepare("UPDATE meta SET value = max(value, ?2) WHERE key = ?1", &setMeta_) &&
         prepare(
             "INSERT INTO journals(name, ingested_to) VALUES(?1, ?2) ON CONFLICT(name) DO "
             "UPDATE SET ingested_to = excluded.ingested_to",
             &setSegment_);
}

void QXOutbox::closeLocked() {
  for (sqlite3_stmt** statement :
       {&insert_, &sizeOf_, &markDone_, &selectAfter_, &selectOldest_, &setMeta_, &setSegment_}) {
    sqlite3_finalize(*statement);
    *statement = nullptr;
  }
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
  if (stateFd_ >= 0) ::close(stateFd_);
  stateFd_ = -1;
  identity_.clear();
  opened_ = false;
}

void QXOutbox::moveAsideLocked(const std::string& reason) {
  closeLocked();
  count_.store(0, std::memory_order_release);
  bytes_.store(0, std::memory_order_release);
  generation_.fetch_add(1, std::memory_order_acq_rel);
  int64_t highest = 0;
  int64_t removed = 0;
  std::string lost;
  if (QXOutboxDatabase::readState(*directory_, name_, &highest, &removed) && highest > removed)
    lost = "; up to " + std::to_string(highest - removed) + " hit(s) it held are lost";
  const std::string aside = QXOutboxDatabase::moveAside(*directory_, name_);
  log("Delivery outbox " + configuredPath_ + " is damaged (" + reason + ")" + lost + "; " +
          (aside.empty() ? std::string("it cannot be moved aside")
                         : "moved aside to " + aside + ", a fresh one is used"),
      4);
}

QXStatus QXOutbox::failedLocked(int code, const char* what) {
  // The message first: a rollback would replace it.
  const std::string message =
      std::string(what) + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
  if (db_ != nullptr && !sqlite3_get_autocommit(db_)) execute(db_, "ROLLBACK");
  const int primary = code & 0xFF;
  diskFull_.store(primary == SQLITE_FULL, std::memory_order_release);
  if (primary != SQLITE_CORRUPT && primary != SQLITE_NOTADB) return QXStatus::IOError(message);
  if (path_.empty()) {
    closeLocked();
    count_.store(0, std::memory_order_release);
    bytes_.store(0, std::memory_order_release);
    generation_.fetch_add(1, std::memory_order_acq_rel);
    log("Delivery outbox in memory damaged (" + message + "); a fresh one is used", 4);
    std::string error;
    useLocked(std::string(), &error);
  } else {
    moveAsideLocked(message);
    std::string error;
    useLocked(configuredPath_, &error);
  }
  return QXStatus::Corruption(message);
}

// --- Ingesting ----------------------------------------------------------

QXStatus QXOutbox::reserveLocked(int64_t needed) {
  if (nextId_ + needed - 1 <= reservedTo_) return QXStatus::OK();
  // Another process may have reserved meanwhile: the block starts above
  // what the file says as well as above this open's ids.
  execute(db_, "PRAGMA synchronous=FULL");
  int rc = execute(db_, "BEGIN IMMEDIATE");
  int64_t start = nextId_;
  if (rc == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    rc = sqlite3_prepare_v2(db_,
                            "SELECT max((SELECT value FROM meta WHERE key='reserved_up_to'),"
                            " (SELECT value FROM meta WHERE key='removed_up_to'),"
                            " ifnull((SELECT max(id) FROM hits), 0))",
                            -1, &statement, nullptr);
    if (rc == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW)
      start = std::max<int64_t>(start, sqlite3_column_int64(statement, 0) + 1);
    sqlite3_finalize(statement);
  }
  const int64_t last = start + std::max(needed, kReserveBlock) - 1;
  if (rc == SQLITE_OK) rc = setMetaLocked("reserved_up_to", last);
  if (rc == SQLITE_OK) rc = execute(db_, "COMMIT");
  const QXStatus status = rc == SQLITE_OK ? QXStatus::OK() : failedLocked(rc, "reserve ids");
  if (db_ != nullptr) execute(db_, "PRAGMA synchronous=NORMAL");
  if (!status.ok()) return status;
  nextId_ = start;
  reservedTo_ = last;
  return QXStatus::OK();
}

int QXOutbox::setMetaLocked(const char* key, int64_t value) {
  StatementReset reset(setMeta_);
  sqlite3_bind_text(setMeta_, 1, key, -1, SQLITE_STATIC);
  sqlite3_bind_int64(setMeta_, 2, value);
  const int rc = sqlite3_step(setMeta_);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

QXStatus QXOutbox::ingest(const std::string& segment, uint64_t end,
                          const std::vector<QXHitJournal::Record>& records,
                          std::vector<Hit>* stored) {
  std::lock_guard<std::mutex> lock(mutex_);
  QXStatus status = openLocked();
  if (!status.ok()) return status;
  status = reserveLocked(static_cast<int64_t>(records.size()));
  if (!status.ok()) return status;
  int rc = execute(db_, "BEGIN IMMEDIATE");
  uint64_t bytes = 0;
  for (size_t i = 0; rc == SQLITE_OK && i < records.size(); ++i) {
    const QXHitJournal::Record& record = records[i];
    StatementReset reset(insert_);
    sqlite3_bind_int64(insert_, 1, nextId_ + static_cast<int64_t>(i));
    sqlite3_bind_int64(insert_, 2, record.createdMs);
    sqlite3_bind_text(insert_, 3, record.url.data(), static_cast<int>(record.url.size()),
                      SQLITE_STATIC);
    sqlite3_bind_blob(insert_, 4, record.body.data(), static_cast<int>(record.body.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int(insert_, 5, record.consent ? 1 : 0);
    sqlite3_bind_int64(insert_, 6, owner_);
    rc = sqlite3_step(insert_);
    rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
    bytes += record.url.size() + record.body.size();
  }
  if (rc == SQLITE_OK && !segment.empty()) {
    StatementReset reset(setSegment_);
    sqlite3_bind_text(setSegment_, 1, segment.data(), static_cast<int>(segment.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int64(setSegment_, 2, static_cast<sqlite3_int64>(end));
    rc = sqlite3_step(setSegment_);
    rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
  }
  if (rc == SQLITE_OK) rc = execute(db_, "COMMIT");
  if (rc != SQLITE_OK) return failedLocked(rc, "cannot store hits");
  diskFull_.store(false, std::memory_order_release);

  if (stored != nullptr) {
    for (size_t i = 0; i < records.size(); ++i) {
      Hit hit;
      hit.id = nextId_ + static_cast<int64_t>(i);
      hit.identifier = identity_ + "-" + std::to_string(hit.id);
      hit.createdMs = records[i].createdMs;
      hit.url = records[i].url;
      hit.body = records[i].body;
      hit.consent = records[i].consent;
      stored->push_back(std::move(hit));
    }
  }
  nextId_ += static_cast<int64_t>(records.size());
  if (!records.empty()) highestStored_ = nextId_ - 1;
  count_.fetch_add(records.size(), std::memory_order_acq_rel);
  bytes_.fetch_add(bytes, std::memory_order_acq_rel);
  writeStateLocked();
  return QXStatus::OK();
}

QXStatus QXOutbox::add(std::string_view url, std::string_view body, bool consent, int64_t createdMs,
                       int64_t* id) {
  std::vector<QXHitJournal::Record> records(1);
  records[0].url = std::string(url);
  records[0].body = std::string(body);
  records[0].consent = consent;
  records[0].createdMs = createdMs;
  std::vector<Hit> stored;
  const QXStatus status = ingest(std::string(), 0, records, &stored);
  if (status.ok() && id != nullptr) *id = stored.at(0).id;
  return status;
}

uint64_t QXOutbox::ingestedTo(const std::string& segment) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!openLocked().ok()) return 0;
  sqlite3_stmt* statement = nullptr;
  uint64_t end = 0;
  if (sqlite3_prepare_v2(db_, "SELECT ingested_to FROM journals WHERE name = ?1", -1, &statement,
                         nullptr) == SQLITE_OK) {
    sqlite3_bind_text(statement, 1, segment.data(), static_cast<int>(segment.size()),
                      SQLITE_STATIC);
    if (sqlite3_step(statement) == SQLITE_ROW)
      end = static_cast<uint64_t>(sqlite3_column_int64(statement, 0));
  }
  sqlite3_finalize(statement);
  return end;
}

void QXOutbox::forgetSegment(const std::string& segment) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!opened_) return;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, "DELETE FROM journals WHERE name = ?1", -1, &statement, nullptr) ==
      SQLITE_OK) {
    sqlite3_bind_text(statement, 1, segment.data(), static_cast<int>(segment.size()),
                      SQLITE_STATIC);
    sqlite3_step(statement);
  }
  sqlite3_finalize(statement);
}

QXStatus QXOutbox::makeDurable() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!opened_ || path_.empty()) return QXStatus::OK();
  // A synced commit syncs the log, and with it every commit before it.
  execute(db_, "PRAGMA synchronous=FULL");
  int rc = execute(db_, "BEGIN IMMEDIATE");
  if (rc == SQLITE_OK) rc = execute(db_, "UPDATE meta SET value = value + 1 WHERE key = 'syncs'");
  if (rc == SQLITE_OK) rc = execute(db_, "COMMIT");
  const QXStatus status = rc == SQLITE_OK ? QXStatus::OK() : failedLocked(rc, "sync");
  if (db_ != nullptr) execute(db_, "PRAGMA synchronous=NORMAL");
  return status;
}

// --- Reading and removing ------------------------------------------------

std::vector<QXOutbox::Hit> QXOutbox::read(int64_t afterId, size_t limit) {
  std::vector<Hit> hits;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!openLocked().ok()) return hits;
  int rc = SQLITE_OK;
  {
    StatementReset reset(selectAfter_);
    sqlite3_bind_int64(selectAfter_, 1, afterId);
    sqlite3_bind_int64(selectAfter_, 2, static_cast<sqlite3_int64>(limit));
    sqlite3_bind_int64(selectAfter_, 3, owner_);
    while ((rc = sqlite3_step(selectAfter_)) == SQLITE_ROW) {
      Hit hit;
      hit.id = sqlite3_column_int64(selectAfter_, 0);
      hit.identifier = identity_ + "-" + std::to_string(hit.id);
      hit.createdMs = sqlite3_column_int64(selectAfter_, 1);
      hit.url = text(selectAfter_, 2);
      hit.body = text(selectAfter_, 3);
      hit.consent = sqlite3_column_int(selectAfter_, 4) != 0;
      hits.push_back(std::move(hit));
    }
  }
  if (rc != SQLITE_DONE) {
    failedLocked(rc, "read");
    hits.clear();
  }
  return hits;
}

QXStatus QXOutbox::removeLocked(const std::vector<int64_t>& ids) {
  int rc = execute(db_, "BEGIN IMMEDIATE");
  size_t removed = 0;
  uint64_t bytes = 0;
  for (size_t i = 0; rc == SQLITE_OK && i < ids.size(); ++i) {
    {
      StatementReset reset(sizeOf_);
      sqlite3_bind_int64(sizeOf_, 1, ids[i]);
      rc = sqlite3_step(sizeOf_);
      if (rc == SQLITE_DONE) {  // not stored, or already done with
        rc = SQLITE_OK;
        continue;
      }
      if (rc != SQLITE_ROW) break;
      bytes += static_cast<uint64_t>(sqlite3_column_int64(sizeOf_, 0));
    }
    StatementReset reset(markDone_);
    sqlite3_bind_int64(markDone_, 1, ids[i]);
    rc = sqlite3_step(markDone_);
    rc = rc == SQLITE_DONE ? SQLITE_OK : rc;
    ++removed;
  }
  if (rc == SQLITE_OK) rc = execute(db_, "COMMIT");
  if (rc != SQLITE_OK) return failedLocked(rc, "cannot remove hits");
  removedUpTo_ = std::max(removedUpTo_, *std::max_element(ids.begin(), ids.end()));
  doneCount_ += removed;
  doneBytes_ += bytes;
  count_.fetch_sub(std::min(removed, count_.load(std::memory_order_acquire)),
                   std::memory_order_acq_rel);
  bytes_.fetch_sub(std::min(bytes, bytes_.load(std::memory_order_acquire)),
                   std::memory_order_acq_rel);
  writeStateLocked();
  if (doneCount_ >= kDeleteAfter || doneBytes_ >= kDeleteAfterBytes) deleteDoneLocked();
  return QXStatus::OK();
}

void QXOutbox::deleteDoneLocked() {
  int rc = execute(db_, "BEGIN IMMEDIATE");
  if (rc == SQLITE_OK)
    rc = execute(db_, "DELETE FROM hits WHERE id IN (SELECT id FROM done); DELETE FROM done;");
  if (rc == SQLITE_OK) rc = setMetaLocked("removed_up_to", removedUpTo_);
  if (rc == SQLITE_OK) rc = execute(db_, "COMMIT");
  // Marked done, the hits are gone for the sender already: a failure here
  // only leaves their rows for the next try.
  if (rc != SQLITE_OK) {
    failedLocked(rc, "cannot delete hits done with");
    return;
  }
  doneCount_ = 0;
  doneBytes_ = 0;
}

QXStatus QXOutbox::remove(const std::vector<int64_t>& ids) {
  if (ids.empty()) return QXStatus::OK();
  std::lock_guard<std::mutex> lock(mutex_);
  const QXStatus status = openLocked();
  if (!status.ok()) return status;
  return removeLocked(ids);
}

std::vector<QXOutbox::Dropped> QXOutbox::enforceBounds(size_t maxCount, uint64_t maxBytes,
                                                       int64_t cutoffMs,
                                                       const std::vector<int64_t>& keep,
                                                       size_t limit) {
  std::vector<Dropped> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  if (limit == 0 || !openLocked().ok()) return dropped;
  const size_t stored = count_.load(std::memory_order_acquire);
  const uint64_t storedBytes = bytes_.load(std::memory_order_acquire);
  size_t excess = stored > maxCount ? stored - maxCount : 0;
  uint64_t excessBytes = maxBytes != 0 && storedBytes > maxBytes ? storedBytes - maxBytes : 0;
  const size_t page = std::clamp<size_t>(excess + keep.size() + 1, 16, kBoundsPage);
  int64_t after = 0;
  bool done = false;
  int rc = SQLITE_OK;
  while (!done) {
    StatementReset reset(selectOldest_);
    sqlite3_bind_int64(selectOldest_, 1, after);
    sqlite3_bind_int64(selectOldest_, 2, static_cast<sqlite3_int64>(page));
    sqlite3_bind_int64(selectOldest_, 3, owner_);
    size_t rows = 0;
    while ((rc = sqlite3_step(selectOldest_)) == SQLITE_ROW) {
      ++rows;
      const int64_t id = sqlite3_column_int64(selectOldest_, 0);
      after = id;
      if (std::binary_search(keep.begin(), keep.end(), id)) continue;
      const int64_t created = sqlite3_column_int64(selectOldest_, 1);
      const auto size = static_cast<uint64_t>(sqlite3_column_int64(selectOldest_, 3));
      Dropped hit;
      if (excess > 0 || excessBytes > 0) {
        excess -= excess > 0 ? 1 : 0;
        excessBytes -= std::min(excessBytes, size);
      } else if (created < cutoffMs) {
        hit.tooOld = true;
      } else {
        done = true;
        break;
      }
      hit.id = id;
      hit.identifier = identity_ + "-" + std::to_string(id);
      hit.url = text(selectOldest_, 2);
      dropped.push_back(std::move(hit));
      if (dropped.size() == limit) {
        done = true;
        break;
      }
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      failedLocked(rc, "bounds");
      return {};
    }
    if (rows < page) done = true;
  }
  if (dropped.empty()) return dropped;
  std::vector<int64_t> ids;
  for (const Dropped& hit : dropped)
    ids.push_back(hit.id);
  if (!removeLocked(ids).ok()) return {};
  return dropped;
}

void QXOutbox::recount() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (opened_) recountLocked();
}

void QXOutbox::recountLocked() {
  size_t count = 0;
  uint64_t bytes = 0;
  QXOutboxDatabase::countOwned(db_, owner_, &count, &bytes);
  count_.store(count, std::memory_order_release);
  bytes_.store(bytes, std::memory_order_release);
}

size_t QXOutbox::adoptOrphans() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!opened_ || path_.empty()) return 0;
  return adoptLocked();
}

size_t QXOutbox::adoptLocked() {
  const size_t adopted = QXOutboxDatabase::adopt(
      db_, owner_, [&](int64_t owner) { return QXOutboxLease::ownerGone(*directory_, owner); });
  if (adopted > 0) recountLocked();
  return adopted;
}

void QXOutbox::abandonInChild() noexcept {
  // Under lockForFork(), by this very thread. Neither lock nor connection is
  // touched: the parent goes on with them.
  lease_.closeInherited();
  if (stateFd_ >= 0) ::close(stateFd_);
  stateFd_ = -1;
  mutex_.unlock();
}

// --- Space --------------------------------------------------------------

bool QXOutbox::shrinkIfEmpty() {
  if (count_.load(std::memory_order_acquire) != 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!opened_ || path_.empty() || count_.load(std::memory_order_acquire) != 0) return false;
  if (doneCount_ > 0) deleteDoneLocked();
  return QXOutboxSpace::shrinkEmpty(db_, *directory_, name_);
}

void QXOutbox::checkpointIfLarge(uint64_t maxLogBytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (opened_ && !path_.empty())
    QXOutboxSpace::checkpointIfLarge(db_, *directory_, name_, maxLogBytes, &logLimit_);
}

double QXOutbox::pagesPerHitByte() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!opened_ || path_.empty()) return 0;
  const int64_t rowBytes =
      QXOutboxSpace::integer(db_, "SELECT ifnull(sum(length(url) + length(body)), 0) FROM hits");
  if (rowBytes <= 0) return 0;
  return static_cast<double>(QXOutboxSpace::pageBytes(db_)) / static_cast<double>(rowBytes);
}

uint64_t QXOutbox::diskBytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return opened_ && !path_.empty() ? QXOutboxSpace::diskBytes(*directory_, name_) : 0;
}

void QXOutbox::releaseSpace(uint64_t maxFileBytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (opened_ && !path_.empty()) QXOutboxSpace::releaseSpace(db_, maxFileBytes);
}

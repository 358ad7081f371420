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

constexpr size_t kBoundsPage = 256;
// Hits done with are marked as such at once, one small row each, and
// deleted together once this many are marked: deleting hits one round at a
// time would rewrite their pages again and again.
constexpr size_t kDeleteAfter = 512;
// ... or once they take this much: their pages count on disk until then.
constexpr uint64_t kDeleteAfterBytes = 512 * 1024;

int execute(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

void log(const std::string& message, int level) {
  QXLogger::sharedInstance().logMessage(message, level);
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
  if (!statements_.prepare(db_)) {
    *error = std::string("statements: ") + sqlite3_errmsg(db_);
    closeLocked();
    return QXOutboxDatabase::Result::kUnavailable;
  }
  identity_ = meta.identity;
  ids_.start(meta);
  doneCount_ = meta.done;
  path_ = path;
  opened_ = true;
  recountLocked();
  if (!path.empty()) {
    if (const auto lost = ids_.checkState(stateKnown, stateHighest, stateRemoved)) {
      // The side file saw hits stored that the database no longer knows of.
      log("Delivery outbox " + path_ + ": its write-ahead log was missing or damaged; up to " +
              std::to_string(*lost) + " hit(s) it held are lost",
          4);
    }
    ids_.openState(*directory_, name_);
    adoptLocked();
  }
  return result;
}

void QXOutbox::closeLocked() {
  statements_.finalize();
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
  ids_.closeState();
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
  if (ids_.reserved(needed)) return QXStatus::OK();
  // Another process may have reserved meanwhile: the block starts above
  // what the file says as well as above this open's ids.
  execute(db_, "PRAGMA synchronous=FULL");
  int rc = execute(db_, "BEGIN IMMEDIATE");
  const int64_t start = ids_.blockStart(rc == SQLITE_OK ? QXOutboxDatabase::highestIdUsed(db_) : 0);
  const int64_t last = QXOutboxIds::blockEnd(start, needed);
  if (rc == SQLITE_OK) rc = statements_.setMeta("reserved_up_to", last);
  if (rc == SQLITE_OK) rc = execute(db_, "COMMIT");
  const QXStatus status = rc == SQLITE_OK ? QXStatus::OK() : failedLocked(rc, "reserve ids");
  if (db_ != nullptr) execute(db_, "PRAGMA synchronous=NORMAL");
  if (!status.ok()) return status;
  ids_.reservedBlock(start, last);
  return QXStatus::OK();
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
    rc = statements_.insert(ids_.next() + static_cast<int64_t>(i), owner_, records[i]);
    bytes += records[i].url.size() + records[i].body.size();
  }
  if (rc == SQLITE_OK && !segment.empty()) rc = statements_.setSegment(segment, end);
  if (rc == SQLITE_OK) rc = execute(db_, "COMMIT");
  if (rc != SQLITE_OK) return failedLocked(rc, "cannot store hits");
  diskFull_.store(false, std::memory_order_release);

  if (stored != nullptr) {
    for (size_t i = 0; i < records.size(); ++i) {
      Hit hit;
      hit.id = ids_.next() + static_cast<int64_t>(i);
      hit.identifier = identity_ + "-" + std::to_string(hit.id);
      hit.createdMs = records[i].createdMs;
      hit.url = records[i].url;
      hit.body = records[i].body;
      hit.consent = records[i].consent;
      stored->push_back(std::move(hit));
    }
  }
  ids_.stored(static_cast<int64_t>(records.size()));
  count_.fetch_add(records.size(), std::memory_order_acq_rel);
  bytes_.fetch_add(bytes, std::memory_order_acq_rel);
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
  return openLocked().ok() ? QXOutboxDatabase::segmentOffset(db_, segment) : 0;
}

void QXOutbox::forgetSegment(const std::string& segment) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (opened_) QXOutboxDatabase::forgetSegment(db_, segment);
}

QXStatus QXOutbox::makeDurable() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!opened_ || path_.empty()) return QXStatus::OK();
  const int rc = QXOutboxDatabase::syncedCommit(db_);
  if (rc == SQLITE_OK) return QXStatus::OK();
  const QXStatus status = failedLocked(rc, "sync");
  if (db_ != nullptr) execute(db_, "PRAGMA synchronous=NORMAL");
  return status;
}

// --- Reading and removing ------------------------------------------------

std::vector<QXOutbox::Hit> QXOutbox::read(int64_t afterId, size_t limit) {
  std::vector<Hit> hits;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!openLocked().ok()) return hits;
  std::vector<QXOutboxStatements::Row> rows;
  const int rc = statements_.read(afterId, limit, owner_, true, &rows);
  if (rc != SQLITE_OK) {
    failedLocked(rc, "read");
    return hits;
  }
  for (QXOutboxStatements::Row& row : rows) {
    Hit hit;
    hit.id = row.id;
    hit.identifier = identity_ + "-" + std::to_string(row.id);
    hit.createdMs = row.createdMs;
    hit.url = std::move(row.url);
    hit.body = std::move(row.body);
    hit.consent = row.consent;
    hits.push_back(std::move(hit));
  }
  return hits;
}

QXStatus QXOutbox::removeLocked(const std::vector<int64_t>& ids) {
  int rc = execute(db_, "BEGIN IMMEDIATE");
  size_t removed = 0;
  uint64_t bytes = 0;
  for (size_t i = 0; rc == SQLITE_OK && i < ids.size(); ++i) {
    uint64_t size = 0;
    rc = statements_.sizeOf(ids[i], &size);
    if (rc == SQLITE_DONE) {  // not stored, or already done with
      rc = SQLITE_OK;
      continue;
    }
    if (rc != SQLITE_OK) break;
    bytes += size;
    rc = statements_.markDone(ids[i]);
    ++removed;
  }
  if (rc == SQLITE_OK) rc = execute(db_, "COMMIT");
  if (rc != SQLITE_OK) return failedLocked(rc, "cannot remove hits");
  ids_.removed(*std::max_element(ids.begin(), ids.end()));
  doneCount_ += removed;
  doneBytes_ += bytes;
  count_.fetch_sub(std::min(removed, count_.load(std::memory_order_acquire)),
                   std::memory_order_acq_rel);
  bytes_.fetch_sub(std::min(bytes, bytes_.load(std::memory_order_acquire)),
                   std::memory_order_acq_rel);
  if (doneCount_ >= kDeleteAfter || doneBytes_ >= kDeleteAfterBytes) deleteDoneLocked();
  return QXStatus::OK();
}

void QXOutbox::deleteDoneLocked() {
  int rc = execute(db_, "BEGIN IMMEDIATE");
  if (rc == SQLITE_OK)
    rc = execute(db_, "DELETE FROM hits WHERE id IN (SELECT id FROM done); DELETE FROM done;");
  if (rc == SQLITE_OK) rc = statements_.setMeta("removed_up_to", ids_.removedUpTo());
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
  while (!done) {
    std::vector<QXOutboxStatements::Row> rows;
    const int rc = statements_.read(after, page, owner_, false, &rows);
    if (rc != SQLITE_OK) {
      failedLocked(rc, "bounds");
      return {};
    }
    for (QXOutboxStatements::Row& row : rows) {
      after = row.id;
      if (std::binary_search(keep.begin(), keep.end(), row.id)) continue;
      Dropped hit;
      if (excess > 0 || excessBytes > 0) {
        excess -= excess > 0 ? 1 : 0;
        excessBytes -= std::min(excessBytes, row.bytes);
      } else if (row.createdMs < cutoffMs) {
        hit.tooOld = true;
      } else {
        done = true;
        break;
      }
      hit.id = row.id;
      hit.identifier = identity_ + "-" + std::to_string(row.id);
      hit.url = std::move(row.url);
      dropped.push_back(std::move(hit));
      if (dropped.size() == limit) {
        done = true;
        break;
      }
    }
    if (rows.size() < page) done = true;
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
  ids_.closeState();
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
  const int64_t rowBytes = QXOutboxSpace::integer(
      db_, (std::string("SELECT ifnull(sum(") + kQXHitBytesSQL + "), 0) FROM hits").c_str());
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

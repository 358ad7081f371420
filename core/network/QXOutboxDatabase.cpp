#include "core/network/QXOutboxDatabase.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "platform/QXBytes.h"
#include "platform/QXDataDirectory.h"
#include "platform/QXPlatform.h"

namespace {

constexpr int kSchemaVersion = 1;
// Four hits of a few KB share a page, so that adding one mostly rewrites a
// single page of the log.
constexpr int kPageSize = 16384;
constexpr int kBusyTimeoutMs = 5000;
// The log is cut back to this size when it restarts.
constexpr const char* kJournalSizeLimit = "4194304";
constexpr size_t kStateSize = 20;
// Beyond any id an outbox could ever hand out, and far enough below the
// 64-bit limit that a block reserved above it cannot overflow: a side file
// naming more was not written by an outbox.
constexpr uint64_t kLargestId = uint64_t{1} << 62;

const char* const kSchema =
    "CREATE TABLE hits(id INTEGER PRIMARY KEY, created_ms INTEGER NOT NULL,"
    " url TEXT NOT NULL, body BLOB NOT NULL, consent INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value NOT NULL);"
    "INSERT INTO meta(key, value) VALUES('removed_up_to', 0);";
// What later versions of the same format added; run on every open, in the
// write transaction that checks the version.
const char* const kUpgrade =
    "CREATE TABLE IF NOT EXISTS journals(name TEXT PRIMARY KEY, ingested_to INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS done(id INTEGER PRIMARY KEY);"
    "INSERT OR IGNORE INTO meta(key, value) VALUES('reserved_up_to', 0);"
    "INSERT OR IGNORE INTO meta(key, value) VALUES('syncs', 0);";

int execute(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

bool isDamage(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// Whether a failure to open or make a file can pass, by the system's cause.
QXOutboxDatabase::Result classifyErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return QXOutboxDatabase::Result::kImpossible;
    default:
      return QXOutboxDatabase::Result::kUnavailable;
  }
}

QXOutboxDatabase::Result classify(sqlite3* db, int code) {
  if (isDamage(code)) return QXOutboxDatabase::Result::kDamaged;
  const int primary = code & 0xFF;
  if (primary == SQLITE_READONLY) return QXOutboxDatabase::Result::kImpossible;
  if (primary == SQLITE_CANTOPEN && db != nullptr) return classifyErrno(sqlite3_system_errno(db));
  return QXOutboxDatabase::Result::kUnavailable;
}

int64_t integer(sqlite3* db, const char* sql, int* rc) {
  sqlite3_stmt* statement = nullptr;
  int64_t value = 0;
  *rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  if (*rc == SQLITE_OK) {
    *rc = sqlite3_step(statement);
    if (*rc == SQLITE_ROW) {
      value = sqlite3_column_int64(statement, 0);
      *rc = SQLITE_OK;
    }
  }
  const int finalized = sqlite3_finalize(statement);
  if (*rc == SQLITE_OK) *rc = finalized;
  return value;
}

// Reads what the outbox needs of itself, in the open transaction.
int readMeta(sqlite3* db, QXOutboxMeta* meta) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE key='identity'", -1, &statement,
                              nullptr);
  if (rc == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    meta->identity = text ? reinterpret_cast<const char*>(text) : "";
  }
  sqlite3_finalize(statement);
  if (rc != SQLITE_OK) return rc;
  meta->maxId = integer(db, "SELECT ifnull(max(id), 0) FROM hits", &rc);
  if (rc == SQLITE_OK)
    meta->done = static_cast<size_t>(integer(db, "SELECT count(*) FROM done", &rc));
  if (rc == SQLITE_OK)
    meta->removedUpTo = integer(db, "SELECT value FROM meta WHERE key='removed_up_to'", &rc);
  if (rc == SQLITE_OK)
    meta->reservedUpTo = integer(db, "SELECT value FROM meta WHERE key='reserved_up_to'", &rc);
  return rc;
}

// Brings a database of an earlier version of this format up to date; run on
// every open, in the write transaction that checks the version. Owners came
// after the first release: their hits have none (NULL) and are adopted.
int upgrade(sqlite3* db) {
  int rc = execute(db, kUpgrade);
  if (rc != SQLITE_OK) return rc;
  const int64_t hasOwner =
      integer(db, "SELECT count(*) FROM pragma_table_info('hits') WHERE name = 'owner'", &rc);
  if (rc == SQLITE_OK && hasOwner == 0)
    rc = execute(db, "ALTER TABLE hits ADD COLUMN owner INTEGER");
  if (rc == SQLITE_OK)
    rc = execute(db, "CREATE INDEX IF NOT EXISTS hits_by_owner ON hits(owner, id)");
  return rc;
}

// Makes the tables of a new database and its identity, in one transaction.
int makeSchema(sqlite3* db) {
  const std::string identity = QXPlatform::current().createUUID();
  const std::string sql = std::string("BEGIN IMMEDIATE;") + kSchema +
                          "INSERT INTO meta(key, value) VALUES('identity', '" + identity + "');" +
                          "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
  int rc = execute(db, sql.c_str());
  if (rc == SQLITE_OK) rc = upgrade(db);
  if (rc == SQLITE_OK) rc = execute(db, "COMMIT");
  if (rc != SQLITE_OK && !sqlite3_get_autocommit(db)) execute(db, "ROLLBACK");
  return rc;
}

int openConnection(const std::string& path, const std::string& vfs, int flags, sqlite3** db) {
  // NOFOLLOW: SQLite refuses a path with a link anywhere in it.
  const int rc =
      sqlite3_open_v2(path.c_str(), db, flags | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                      vfs.empty() ? nullptr : vfs.c_str());
  if (*db != nullptr) {
    sqlite3_extended_result_codes(*db, 1);
    // Before anything else: a second process may hold a lock at any moment.
    sqlite3_busy_timeout(*db, kBusyTimeoutMs);
  }
  return rc;
}

// A complete new database under a temporary name, linked to `name`.
QXOutboxDatabase::Result create(const QXDataDirectory& directory, const std::string& name,
                                const std::string& vfs, std::string* error) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".new-%08x", QXPlatform::current().random32());
  const std::string making = name + suffix;
  // Hits hold what users did: the file is private to the user. SQLite gives
  // its log and index files the same mode.
  const int fd = directory.openFile(making, O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0) {
    *error = std::string("cannot make a database: ") + std::strerror(errno);
    return classifyErrno(errno);
  }
  ::close(fd);
  sqlite3* db = nullptr;
  int rc = openConnection(directory.resolvedPath() + "/" + making, vfs, SQLITE_OPEN_READWRITE, &db);
  if (rc == SQLITE_OK) rc = execute(db, ("PRAGMA page_size=" + std::to_string(kPageSize)).c_str());
  if (rc == SQLITE_OK) rc = execute(db, "PRAGMA journal_mode=WAL");
  if (rc == SQLITE_OK) rc = makeSchema(db);
  // The log is folded into the file here, where a failure (a disk that
  // fills) is told: closing would fold it too but say nothing if that
  // failed, and the file linked into place would lack what the log held.
  if (rc == SQLITE_OK) rc = execute(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  if (rc != SQLITE_OK) *error = std::string("cannot make a database: ") + sqlite3_errmsg(db);
  // Closing the only connection removes the emptied log.
  if (sqlite3_close(db) != SQLITE_OK && rc == SQLITE_OK) {
    rc = SQLITE_IOERR;
    *error = "cannot make a database: the new file cannot be closed";
  }
  QXOutboxDatabase::Result result = QXOutboxDatabase::Result::kOpen;
  if (rc == SQLITE_OK && !directory.link(making, name) && errno != EEXIST) {
    *error = std::string("cannot make a database: ") + std::strerror(errno);
    result = classifyErrno(errno);
  } else if (rc != SQLITE_OK) {
    result = (rc & 0xFF) == SQLITE_FULL || (rc & 0xFF) == SQLITE_IOERR
                 ? QXOutboxDatabase::Result::kUnavailable
                 : classify(nullptr, rc);
  }
  for (const char* extra : {"", "-wal", "-shm"})
    directory.unlink(making + extra);
  return result;
}

}  // namespace

QXOutboxDatabase::Result QXOutboxDatabase::open(const QXDataDirectory* directory,
                                                const std::string& name, const std::string& vfs,
                                                sqlite3** db, QXOutboxMeta* meta,
                                                std::string* error) {
  *db = nullptr;
  const bool memory = directory == nullptr;
  std::string path;
  if (!memory) {
    for (const char* extra : {"", "-wal", "-shm"}) {
      if (!directory->checkFile(name + extra)) {
        *error = "cannot use " + name + extra + ": " + std::strerror(errno);
        return classifyErrno(errno);
      }
    }
    path = directory->resolvedPath() + "/" + name;
    struct stat info {};
    if (!directory->statFile(name, &info)) {
      if (errno != ENOENT) {
        *error = std::string("cannot look at the file: ") + std::strerror(errno);
        return classifyErrno(errno);
      }
      const Result made = create(*directory, name, vfs, error);
      if (made != Result::kOpen) return made;
    } else if (info.st_size == 0) {
      // Databases are only ever linked into place complete: an empty file
      // lost what it held.
      *error = "the file is empty";
      return Result::kDamaged;
    }
  }
  int rc = openConnection(memory ? ":memory:" : path, vfs,
                          SQLITE_OPEN_READWRITE | (memory ? SQLITE_OPEN_CREATE : 0), db);
  auto fail = [&](const char* what) {
    *error = std::string(what) + ": " + (*db ? sqlite3_errmsg(*db) : sqlite3_errstr(rc));
    const Result result = classify(*db, rc);
    if (*db != nullptr && !sqlite3_get_autocommit(*db)) execute(*db, "ROLLBACK");
    sqlite3_close_v2(*db);
    *db = nullptr;
    return result;
  };
  if (rc != SQLITE_OK) return fail("open");
  if (memory) {
    rc = makeSchema(*db);
    if (rc != SQLITE_OK) return fail("schema");
  } else {
    rc = execute(*db, "PRAGMA journal_mode=WAL");
    if (rc != SQLITE_OK) return fail("journal_mode");
    rc = execute(*db, (std::string("PRAGMA synchronous=NORMAL;PRAGMA wal_autocheckpoint=0;"
                                   "PRAGMA cache_size=-512;PRAGMA secure_delete=FAST;"
                                   "PRAGMA journal_size_limit=") +
                       kJournalSizeLimit)
                          .c_str());
    if (rc != SQLITE_OK) return fail("settings");
  }
  rc = execute(*db, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return fail("begin");
  const int64_t version = integer(*db, "PRAGMA user_version", &rc);
  if (rc != SQLITE_OK) return fail("user_version");
  if (version != kSchemaVersion) {
    rc = SQLITE_NOTADB;
    execute(*db, "ROLLBACK");
    sqlite3_close_v2(*db);
    *db = nullptr;
    *error = "unknown outbox version " + std::to_string(version);
    return Result::kDamaged;
  }
  rc = upgrade(*db);
  if (rc == SQLITE_OK) rc = readMeta(*db, meta);
  if (rc != SQLITE_OK) return fail("read");
  if (meta->identity.empty()) {
    execute(*db, "ROLLBACK");
    sqlite3_close_v2(*db);
    *db = nullptr;
    *error = "no identity";
    return Result::kDamaged;
  }
  rc = execute(*db, "COMMIT");
  if (rc != SQLITE_OK) return fail("commit");
  return Result::kOpen;
}

void QXOutboxDatabase::countOwned(sqlite3* db, int64_t owner, size_t* count, uint64_t* bytes) {
  *count = 0;
  *bytes = 0;
  sqlite3_stmt* statement = nullptr;
  const std::string sql = std::string("SELECT count(*), ifnull(sum(") + kQXHitBytesSQL +
                          "), 0) FROM hits WHERE owner = ?1 AND NOT EXISTS"
                          " (SELECT 1 FROM done WHERE done.id = hits.id)";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
    sqlite3_bind_int64(statement, 1, owner);
    if (sqlite3_step(statement) == SQLITE_ROW) {
      *count = static_cast<size_t>(sqlite3_column_int64(statement, 0));
      *bytes = static_cast<uint64_t>(sqlite3_column_int64(statement, 1));
    }
  }
  sqlite3_finalize(statement);
}

size_t QXOutboxDatabase::adopt(sqlite3* db, int64_t owner,
                               const std::function<bool(int64_t)>& gone) {
  std::vector<std::optional<int64_t>> others;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT DISTINCT owner FROM hits WHERE owner IS NOT ?1", -1,
                         &statement, nullptr) == SQLITE_OK) {
    sqlite3_bind_int64(statement, 1, owner);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      if (sqlite3_column_type(statement, 0) == SQLITE_NULL) {
        others.emplace_back();
      } else {
        others.emplace_back(sqlite3_column_int64(statement, 0));
      }
    }
  }
  sqlite3_finalize(statement);
  size_t adopted = 0;
  for (const std::optional<int64_t>& other : others) {
    if (other && !gone(*other)) continue;
    if (sqlite3_prepare_v2(db, "UPDATE hits SET owner = ?1 WHERE owner IS ?2", -1, &statement,
                           nullptr) == SQLITE_OK) {
      sqlite3_bind_int64(statement, 1, owner);
      if (other) {
        sqlite3_bind_int64(statement, 2, *other);
      } else {
        sqlite3_bind_null(statement, 2);
      }
      if (sqlite3_step(statement) == SQLITE_DONE)
        adopted += static_cast<size_t>(sqlite3_changes(db));
    }
    sqlite3_finalize(statement);
  }
  return adopted;
}

QXOutboxDatabase::Result QXOutboxDatabase::openDirectory(
    const std::string& path, std::unique_ptr<const QXDataDirectory>* directory,
    std::string* error) {
  const auto slash = path.rfind('/');
  const std::string parent =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  *directory = QXDataDirectory::open(parent, error);
  return *directory != nullptr ? Result::kOpen : classifyErrno(errno);
}

std::string QXOutboxDatabase::moveAside(const QXDataDirectory& directory, const std::string& name) {
  const std::string base = name + ".corrupt-" + std::to_string(std::time(nullptr));
  std::string aside = base;
  for (int n = 1; directory.exists(aside); ++n)
    aside = base + "-" + std::to_string(n);
  if (!directory.rename(name, aside)) return std::string();
  directory.rename(name + "-wal", aside + "-wal");
  return directory.pathOf(aside);
}

int QXOutboxDatabase::openState(const QXDataDirectory& directory, const std::string& name) {
  return directory.openFile(stateName(name), O_RDWR | O_CREAT, 0600);
}

void QXOutboxDatabase::writeState(int fd, int64_t highest, int64_t removed) {
  if (fd < 0) return;
  std::string state;
  QXPutLittleEndian(state, static_cast<uint64_t>(highest), 8);
  QXPutLittleEndian(state, static_cast<uint64_t>(removed), 8);
  QXPutLittleEndian(state, QXCrc32(state), 4);
  // Only a hint for the next open: a failed write leaves an older one.
  if (::pwrite(fd, state.data(), state.size(), 0) != static_cast<ssize_t>(state.size())) return;
}

bool QXOutboxDatabase::readState(const QXDataDirectory& directory, const std::string& name,
                                 int64_t* highest, int64_t* removed) {
  const int fd = directory.openFile(stateName(name), O_RDONLY);
  if (fd < 0) return false;
  char state[kStateSize];
  const bool read = ::pread(fd, state, sizeof state, 0) == static_cast<ssize_t>(sizeof state);
  ::close(fd);
  if (!read) return false;
  if (QXGetLittleEndian(state + 16, 4) != QXCrc32(std::string_view(state, 16))) return false;
  const uint64_t highestRead = QXGetLittleEndian(state, 8);
  const uint64_t removedRead = QXGetLittleEndian(state + 8, 8);
  if (highestRead > kLargestId || removedRead > kLargestId) return false;
  *highest = static_cast<int64_t>(highestRead);
  *removed = static_cast<int64_t>(removedRead);
  return true;
}

int64_t QXOutboxDatabase::highestIdUsed(sqlite3* db) {
  sqlite3_stmt* statement = nullptr;
  int64_t highest = 0;
  if (sqlite3_prepare_v2(db,
                         "SELECT max((SELECT value FROM meta WHERE key='reserved_up_to'),"
                         " (SELECT value FROM meta WHERE key='removed_up_to'),"
                         " ifnull((SELECT max(id) FROM hits), 0))",
                         -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    highest = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  return highest;
}

uint64_t QXOutboxDatabase::segmentOffset(sqlite3* db, const std::string& name) {
  sqlite3_stmt* statement = nullptr;
  uint64_t end = 0;
  if (sqlite3_prepare_v2(db, "SELECT ingested_to FROM journals WHERE name = ?1", -1, &statement,
                         nullptr) == SQLITE_OK) {
    sqlite3_bind_text(statement, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    if (sqlite3_step(statement) == SQLITE_ROW)
      end = static_cast<uint64_t>(sqlite3_column_int64(statement, 0));
  }
  sqlite3_finalize(statement);
  return end;
}

void QXOutboxDatabase::forgetSegment(sqlite3* db, const std::string& name) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "DELETE FROM journals WHERE name = ?1", -1, &statement, nullptr) ==
      SQLITE_OK) {
    sqlite3_bind_text(statement, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    sqlite3_step(statement);
  }
  sqlite3_finalize(statement);
}

int QXOutboxDatabase::syncedCommit(sqlite3* db) {
  execute(db, "PRAGMA synchronous=FULL");
  int rc = execute(db, "BEGIN IMMEDIATE");
  if (rc == SQLITE_OK) rc = execute(db, "UPDATE meta SET value = value + 1 WHERE key = 'syncs'");
  if (rc == SQLITE_OK) rc = execute(db, "COMMIT");
  if (rc == SQLITE_OK) execute(db, "PRAGMA synchronous=NORMAL");
  return rc;
}

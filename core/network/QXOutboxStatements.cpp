#include "core/network/QXOutboxStatements.h"

#include <sqlite3.h>

#include "core/network/QXOutboxDatabase.h"

namespace {

// Resets a statement when it goes out of scope.
class StatementReset {
 public:
  explicit StatementReset(sqlite3_stmt* statement) : statement_(statement) {}
  ~StatementReset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  StatementReset(const StatementReset&) = delete;
  StatementReset& operator=(const StatementReset&) = delete;

 private:
  sqlite3_stmt* statement_;
};

std::string text(sqlite3_stmt* statement, int column) {
  const auto* data = static_cast<const char*>(sqlite3_column_blob(statement, column));
  return std::string(data ? data : "",
                     static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}

// A statement that returns no row ran through.
int done(int rc) {
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

}  // namespace

bool QXOutboxStatements::prepare(sqlite3* db) {
  auto prepare = [&](const std::string& sql, sqlite3_stmt** statement) {
    return sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr) ==
           SQLITE_OK;
  };
  return prepare(
             "INSERT INTO hits(id, created_ms, url, body, consent, owner)"
             " VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
             &insert_) &&
         prepare(std::string("SELECT ") + kQXHitBytesSQL +
                     " FROM hits WHERE id = ?1 AND NOT EXISTS"
                     " (SELECT 1 FROM done WHERE done.id = ?1)",
                 &sizeOf_) &&
         prepare("INSERT INTO done(id) VALUES(?1)", &markDone_) &&
         prepare(
             "SELECT id, created_ms, url, body, consent FROM hits WHERE owner = ?3 AND id > ?1"
             " AND NOT EXISTS (SELECT 1 FROM done WHERE done.id = hits.id) ORDER BY id LIMIT ?2",
             &selectAfter_) &&
         prepare(std::string("SELECT id, created_ms, url, ") + kQXHitBytesSQL +
                     " FROM hits WHERE owner = ?3 AND id > ?1 AND NOT EXISTS"
                     " (SELECT 1 FROM done WHERE done.id = hits.id) ORDER BY id LIMIT ?2",
                 &selectOldest_) &&
         prepare("UPDATE meta SET value = max(value, ?2) WHERE key = ?1", &setMeta_) &&
         prepare(
             "INSERT INTO journals(name, ingested_to) VALUES(?1, ?2) ON CONFLICT(name) DO "
             "UPDATE SET ingested_to = excluded.ingested_to",
             &setSegment_);
}

void QXOutboxStatements::finalize() {
  for (sqlite3_stmt** statement :
       {&insert_, &sizeOf_, &markDone_, &selectAfter_, &selectOldest_, &setMeta_, &setSegment_}) {
    sqlite3_finalize(*statement);
    *statement = nullptr;
  }
}

int QXOutboxStatements::insert(int64_t id, int64_t owner, const QXHitJournal::Record& record) {
  StatementReset reset(insert_);
  sqlite3_bind_int64(insert_, 1, id);
  sqlite3_bind_int64(insert_, 2, record.createdMs);
  sqlite3_bind_text(insert_, 3, record.url.data(), static_cast<int>(record.url.size()),
                    SQLITE_STATIC);
  sqlite3_bind_blob(insert_, 4, record.body.data(), static_cast<int>(record.body.size()),
                    SQLITE_STATIC);
  sqlite3_bind_int(insert_, 5, record.consent ? 1 : 0);
  sqlite3_bind_int64(insert_, 6, owner);
  return done(sqlite3_step(insert_));
}

int QXOutboxStatements::setSegment(const std::string& name, uint64_t end) {
  StatementReset reset(setSegment_);
  sqlite3_bind_text(setSegment_, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
  sqlite3_bind_int64(setSegment_, 2, static_cast<sqlite3_int64>(end));
  return done(sqlite3_step(setSegment_));
}

int QXOutboxStatements::setMeta(const char* key, int64_t value) {
  StatementReset reset(setMeta_);
  sqlite3_bind_text(setMeta_, 1, key, -1, SQLITE_STATIC);
  sqlite3_bind_int64(setMeta_, 2, value);
  return done(sqlite3_step(setMeta_));
}

int QXOutboxStatements::markDone(int64_t id) {
  StatementReset reset(markDone_);
  sqlite3_bind_int64(markDone_, 1, id);
  return done(sqlite3_step(markDone_));
}

int QXOutboxStatements::sizeOf(int64_t id, uint64_t* bytes) {
  StatementReset reset(sizeOf_);
  sqlite3_bind_int64(sizeOf_, 1, id);
  const int rc = sqlite3_step(sizeOf_);
  if (rc != SQLITE_ROW) return rc;
  *bytes = static_cast<uint64_t>(sqlite3_column_int64(sizeOf_, 0));
  return SQLITE_OK;
}

int QXOutboxStatements::read(int64_t afterId, size_t limit, int64_t owner, bool whole,
                             std::vector<Row>* rows) {
  sqlite3_stmt* statement = whole ? selectAfter_ : selectOldest_;
  StatementReset reset(statement);
  sqlite3_bind_int64(statement, 1, afterId);
  sqlite3_bind_int64(statement, 2, static_cast<sqlite3_int64>(limit));
  sqlite3_bind_int64(statement, 3, owner);
  int rc = SQLITE_OK;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    Row row;
    row.id = sqlite3_column_int64(statement, 0);
    row.createdMs = sqlite3_column_int64(statement, 1);
    row.url = text(statement, 2);
    if (whole) {
      row.body = text(statement, 3);
      row.consent = sqlite3_column_int(statement, 4) != 0;
      row.bytes = row.url.size() + row.body.size();
    } else {
      row.bytes = static_cast<uint64_t>(sqlite3_column_int64(statement, 3));
    }
    rows->push_back(std::move(row));
  }
  return done(rc);
}

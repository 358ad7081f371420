#ifndef QUORVEX_CORE_NETWORK_QXOUTBOXSTATEMENTS_H_
#define QUORVEX_CORE_NETWORK_QXOUTBOXSTATEMENTS_H_

// Private to the core: never included by a public header.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/network/QXHitJournal.h"

struct sqlite3;
struct sqlite3_stmt;

// The outbox's statements, prepared once per connection and each bound,
// stepped and reset by name: a statement is never left mid-way, so that no
// read transaction stays open (an open one would pin the write-ahead log).
// Each returns SQLITE_OK, or SQLite's code for what failed.
//
// Threads: the outbox's, under its mutex.
class QXOutboxStatements {
 public:
  // A stored hit as read back: whole, or without its url's and body's text
  // and with their size.
  struct Row {
    int64_t id = 0;
    int64_t createdMs = 0;
    std::string url;
    std::string body;
    bool consent = false;
    uint64_t bytes = 0;  // of the url and the body
  };

  QXOutboxStatements() = default;
  ~QXOutboxStatements() { finalize(); }
  QXOutboxStatements(const QXOutboxStatements&) = delete;
  QXOutboxStatements& operator=(const QXOutboxStatements&) = delete;

  bool prepare(sqlite3* db);
  void finalize();

  int insert(int64_t id, int64_t owner, const QXHitJournal::Record& record);
  // How far the journal segment `name` has been stored.
  int setSegment(const std::string& name, uint64_t end);
  // Raises a number of the meta table to `value`, never lowers it.
  int setMeta(const char* key, int64_t value);
  // Marks a hit done with: it is read, counted and bounded no more, and
  // deleted with others later.
  int markDone(int64_t id);
  // The bytes of a hit not done with: SQLITE_OK with `bytes`, SQLITE_DONE
  // when it is not stored or already done with.
  int sizeOf(int64_t id, uint64_t* bytes);
  // Up to `limit` hits of `owner` above `afterId` not done with, oldest
  // first; with their url and body (`whole`) or their url and size only.
  int read(int64_t afterId, size_t limit, int64_t owner, bool whole, std::vector<Row>* rows);

 private:
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* sizeOf_ = nullptr;
  sqlite3_stmt* markDone_ = nullptr;
  sqlite3_stmt* selectAfter_ = nullptr;
  sqlite3_stmt* selectOldest_ = nullptr;
  sqlite3_stmt* setMeta_ = nullptr;
  sqlite3_stmt* setSegment_ = nullptr;
};

#endif  // QUORVEX_CORE_NETWORK_QXOUTBOXSTATEMENTS_H_

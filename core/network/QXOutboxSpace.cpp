#include "core/network/QXOutboxSpace.h"

#include <sqlite3.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdint>

#include "platform/QXDataDirectory.h"

namespace {

// An empty outbox is compacted once this many pages are free (1 MB).
constexpr int kShrinkFreePages = 64;

int execute(sqlite3* db, const std::string& sql) {
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
}

// What the file system of `directory` has free for this process; as much as
// could be wanted when it cannot be told.
uint64_t freeBytes(const QXDataDirectory& directory) {
  struct statvfs info {};
  if (::statvfs(directory.resolvedPath().c_str(), &info) != 0) return UINT64_MAX;
  return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

}  // namespace

namespace QXOutboxSpace {

int64_t integer(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  int64_t value = 0;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    value = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  return value;
}

uint64_t diskBytes(const QXDataDirectory& directory, const std::string& name) {
  return directory.sizeOf(name) + directory.sizeOf(name + "-wal");
}

uint64_t pageBytes(sqlite3* db) {
  const int64_t pages = integer(db, "PRAGMA page_count") - integer(db, "PRAGMA freelist_count");
  return static_cast<uint64_t>(std::max<int64_t>(pages, 0) * integer(db, "PRAGMA page_size"));
}

bool shrinkEmpty(sqlite3* db, const QXDataDirectory& directory, const std::string& name) {
  const int64_t freePages = integer(db, "PRAGMA freelist_count");
  const int64_t pageSize = integer(db, "PRAGMA page_size");
  if (freePages < kShrinkFreePages &&
      directory.sizeOf(name + "-wal") < static_cast<uint64_t>(kShrinkFreePages * pageSize))
    return false;
  // Empty, the database rebuilds in an instant; then the log is folded in
  // and cut to nothing.
  execute(db, "VACUUM");
  sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  return true;
}

void checkpointIfLarge(sqlite3* db, const QXDataDirectory& directory, const std::string& name,
                       uint64_t maxLogBytes, uint64_t* limitInForce) {
  if (maxLogBytes != *limitInForce) {
    // Past a restart the log is cut back to this size.
    *limitInForce = maxLogBytes;
    execute(db, "PRAGMA journal_size_limit=" + std::to_string(maxLogBytes));
  }
  const uint64_t size = directory.sizeOf(name + "-wal");
  if (size == 0) return;
  // Nor does the log take more than half of what the file system had free:
  // folding it in may grow the database by as much again, and a disk filled
  // by the log would let it neither be folded in nor written past, which
  // stops every removal until the process ends.
  const bool crowding = size > freeBytes(directory);
  if (size <= maxLogBytes && !crowding) return;
  // The log is folded in whole and made to start again from its beginning
  // (cut back to its size limit by the next commit) unless another process
  // reads it meanwhile, which makes it a partial one. Far past the limit, or
  // crowding the disk, it is cut back at once.
  sqlite3_wal_checkpoint_v2(
      db, nullptr,
      crowding || size > 2 * maxLogBytes ? SQLITE_CHECKPOINT_TRUNCATE : SQLITE_CHECKPOINT_RESTART,
      nullptr, nullptr);
}

void releaseSpace(sqlite3* db, uint64_t maxFileBytes) {
  const int64_t pageSize = integer(db, "PRAGMA page_size");
  const int64_t pages = integer(db, "PRAGMA page_count");
  const int64_t free = integer(db, "PRAGMA freelist_count");
  if (pageSize <= 0 || pages * pageSize <= static_cast<int64_t>(maxFileBytes) || free == 0) return;
  // Only a database made with incremental vacuum can hand free pages back
  // while it holds hits; an older one shrinks once it is empty.
  if (integer(db, "PRAGMA auto_vacuum") != 2) return;
  const int64_t excess = pages - static_cast<int64_t>(maxFileBytes) / pageSize;
  execute(db, "PRAGMA incremental_vacuum(" + std::to_string(std::min(excess, free)) + ")");
}

}  // namespace QXOutboxSpace

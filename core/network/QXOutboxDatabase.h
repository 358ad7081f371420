#ifndef QUORVEX_CORE_NETWORK_QXOUTBOXDATABASE_H_
#define QUORVEX_CORE_NETWORK_QXOUTBOXDATABASE_H_

// Private to the core: never included by a public header.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct sqlite3;
class QXDataDirectory;

// A stored hit's size in SQL, as the outbox counts it when it stores the
// hit: its URL's and body's bytes (length() of a text counts characters).
inline constexpr char kQXHitBytesSQL[] = "length(CAST(url AS BLOB)) + length(body)";

// What the outbox's database holds about itself.
struct QXOutboxMeta {
  std::string identity;  // the outbox's identity, the first part of every hit identifier
  int64_t maxId = 0;     // the largest id stored
  int64_t removedUpTo = 0;
  int64_t reservedUpTo = 0;  // ids up to this may have been handed out already
  size_t done = 0;           // hits done with, awaiting their deletion
};

// Opening the outbox's SQLite database, and making it when there is none.
//
// A new database is made complete (schema, identity, WAL mode) under a
// temporary name and then linked to `path`; linking fails when the name is
// taken, so of two processes starting together one makes the database and
// both use it. An existing file is opened with a busy timeout set before
// anything else, and its schema is brought up to date inside a write
// transaction, so that two processes never both do it.
//
// Links: every file of the database is opened relative to the data
// directory (QXDataDirectory) or by SQLite with SQLITE_OPEN_NOFOLLOW, on the
// directory's path without links. Before SQLite opens the database, a link
// or a stranger's file found in the place of the database, its "-wal" or its
// "-shm" is moved aside; SQLite itself opens each with O_NOFOLLOW.
//
// Outcomes: kOpen; kDamaged only on proof (SQLite's corruption codes, a file
// that is not a database, an empty file, an unknown version); kImpossible
// when the place cannot hold a database (no such directory, no permission,
// a read-only file system); kUnavailable for everything that may pass (busy,
// too many open files, no memory, disk full, I/O errors).
class QXOutboxDatabase {
 public:
  enum class Result { kOpen, kDamaged, kUnavailable, kImpossible };

  // Opens the database `name` of `directory` (null: a new database in
  // memory) through the SQLite VFS `vfs` (empty: the default). On kOpen `*db`
  // is the connection and `*meta` filled; otherwise `*db` is null and
  // `*error` says why.
  static Result open(const QXDataDirectory* directory, const std::string& name,
                     const std::string& vfs, sqlite3** db, QXOutboxMeta* meta, std::string* error);

  // Opens the directory of the database `path` into `*directory`: kOpen;
  // kImpossible when it is missing or not the process's own
  // (QXDataDirectory); kUnavailable when it may pass (too many open files).
  static Result openDirectory(const std::string& path,
                              std::unique_ptr<const QXDataDirectory>* directory,
                              std::string* error);

  // The hits of `owner` not yet done with, and the size of their URLs and
  // bodies.
  static void countOwned(sqlite3* db, int64_t owner, size_t* count, uint64_t* bytes);
  // Gives `owner` the hits of every other owner that `gone` says has gone,
  // and those of no owner, in one transaction per owner, so that of two
  // processes adopting at once each hit goes to one. Returns how many.
  static size_t adopt(sqlite3* db, int64_t owner, const std::function<bool(int64_t)>& gone);

  // Renames the database and its log to "<name>.corrupt-<unix time>[-n]";
  // returns the new name's path, or empty when the database could not be
  // renamed. Nothing is deleted.
  static std::string moveAside(const QXDataDirectory& directory, const std::string& name);

  // The side file "<name>.state": the highest id stored and the highest
  // removed, with a checksum, rewritten in place after each change. It lets
  // an open find out that the log lost commits (it was deleted or damaged).
  static std::string stateName(const std::string& name) { return name + ".state"; }
  static int openState(const QXDataDirectory& directory, const std::string& name);
  static void writeState(int fd, int64_t highest, int64_t removed);
  // False when there is no valid side file: none, a wrong checksum, or ids
  // no outbox could have used (negative, or near the 64-bit limit).
  static bool readState(const QXDataDirectory& directory, const std::string& name, int64_t* highest,
                        int64_t* removed);

  // The highest id any outbox of the file may have handed out: reserved,
  // removed or stored.
  static int64_t highestIdUsed(sqlite3* db);
  // How far the journal segment `name` was stored; 0 when unknown.
  static uint64_t segmentOffset(sqlite3* db, const std::string& name);
  static void forgetSegment(sqlite3* db, const std::string& name);
  // A commit with the log synced, which makes every commit before it
  // durable too. SQLITE_OK or the failing code; after a failure the
  // connection still syncs every commit, until the caller has reported it
  // and set synchronous=NORMAL again.
  static int syncedCommit(sqlite3* db);
};

#endif  // QUORVEX_CORE_NETWORK_QXOUTBOXDATABASE_H_

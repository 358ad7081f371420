#ifndef QUORVEX_CORE_NETWORK_QXOUTBOXSPACE_H_
#define QUORVEX_CORE_NETWORK_QXOUTBOXSPACE_H_

// Private to the core: never included by a public header.

#include <cstdint>
#include <string>

struct sqlite3;
class QXDataDirectory;

// The disk the outbox's database takes, and how it is given back: the
// write-ahead log folded in past a size, free pages handed back while hits
// are stored, and the whole file rebuilt once it is empty. Each function
// works on a connection the caller serialises (QXOutbox's mutex) and on the
// database's file `name` in its data directory.
namespace QXOutboxSpace {

// One integer a statement answers (a PRAGMA, a count); 0 when it fails.
int64_t integer(sqlite3* db, const char* sql);

// Bytes the database file `name` of `directory` and its log take on disk.
uint64_t diskBytes(const QXDataDirectory& directory, const std::string& name);
// Bytes of the database's pages in use (hits, their b-trees and slack).
uint64_t pageBytes(sqlite3* db);
// Rebuilds an empty database that has grown, and truncates its log. True
// when it shrank.
bool shrinkEmpty(sqlite3* db, const QXDataDirectory& directory, const std::string& name);
// Folds the log in once it holds more than `maxLogBytes`, or more than the
// file system has left free, and makes it restart, so that it stays about
// that size. `*limitInForce` remembers the size limit set on the connection.
void checkpointIfLarge(sqlite3* db, const QXDataDirectory& directory, const std::string& name,
                       uint64_t maxLogBytes, uint64_t* limitInForce);
// Hands free pages back to the file system while the file is larger than
// `maxFileBytes` (databases made with incremental vacuum).
void releaseSpace(sqlite3* db, uint64_t maxFileBytes);

}  // namespace QXOutboxSpace

#endif  // QUORVEX_CORE_NETWORK_QXOUTBOXSPACE_H_
